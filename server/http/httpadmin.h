// qmsTHTTPAdmin: the administration pages under "/!admin" for one request of an HTTP
// session: a frame page with header, menu and body, the account editor, the group's
// settings, access rules and virtual file system, service settings, log files, and live
// lists of services and connections. The dynamic parts are HTML fragments handed to the
// "ADMIN.*" templates of the HTTP message file through session variables; every value
// that comes from a file, a client or a session is HTML-escaped where it is inserted.
//
// Changes (the account editor's Apply and Save as new) are only made for a POST request
// of the page's own form, so that a link or an image elsewhere cannot make them.
//
// Threads: runs on the session's thread; service and connection lists are read under the
// owners' locks.
#pragma once

#include <string>
#include <vector>

class qmsTHTTPSession;
class qmsTService;

class qmsTHTTPAdmin {
 public:
  explicit qmsTHTTPAdmin(qmsTHTTPSession& session);
  // The page for the request's "pg" value.
  std::string Page();

  // Fragment builders (values are escaped by the callers' choice: "text" arguments are
  // HTML already, "value" arguments are escaped here).
  static std::string H(int level, const std::string& text);
  static std::string IText(const std::string& name, const std::string& value, int size);
  static std::string IHidden(const std::string& name, const std::string& value);
  static std::string ISelect(const std::string& name, const std::vector<std::string>& items,
                             const std::string& current);
  static std::string TH(const std::vector<std::string>& cells);
  static std::string TD(const std::vector<std::string>& cells);

 private:
  bool QueryValue(int n, std::string& value, const std::string& name) const;
  std::string Query(const std::string& name) const;
  std::string Body(const std::string& data);
  std::string Menu();
  std::string AccountEditor();
  std::string UpdateAccount(const std::string& user, std::string& file);
  bool UpdateConfig(const std::string& key, const std::string& section, const std::string& file);
  std::string AccountRecord(const std::string& user, const std::string& file);
  std::string AccountStatistics(const std::string& user);
  std::string ConfigGlobal();
  std::string ConfigAccess();
  std::string ConfigVFS();
  void VFSTree(const std::string& path, int depth, std::string& rows, int& count);
  std::string ConfigService();
  std::string LogFiles();
  std::string ServiceConnections();
  std::string ServiceList();
  qmsTService* FindService(const std::string& section);
  std::string Expand(const std::string& section);
  void Set(const std::string& name, const std::string& value);
  bool ChangeAllowed() const;

  qmsTHTTPSession& s_;
  std::string query_;
};
