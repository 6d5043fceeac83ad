// qmsTHTTPSession: the session of the HTTP service. Reads requests on one connection
// (keep-alive), resolves each path in the virtual file system rooted per host name,
// applies Basic authorization and the path access rules, and answers with a static file
// (through the service's document cache, optionally expanded as a FIB or SSI template), a
// directory listing, a built-in icon or an error page. Applications and CGI programs are
// run by qmsTHTTPApp (httpapp.cpp), the administration pages built by qmsTHTTPAdmin.
//
// Hot path of a cached document: no file-system call while the cache confirmed the file
// within the last second, the body shared with the cache (never copied, no lock held while
// it is sent), the header built in a buffer the session reuses, and header and body handed
// to the kernel in one call. Files at or above the send-buffer size go out with sendfile.
//
// Threads: everything runs on the session's own thread (see qmsTSession).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/core/servicecache.h"
#include "server/core/session.h"
#include "server/http/httprequest.h"
#include "server/users/access.h"
#include "toolbox/filesys.h"
#include "toolbox/platform.h"

class qmsTService;

// What a request resolved to.
enum qmsTHTTPMode {
  hmError = 1,
  hmAdmin = 2,
  hmIcon = 3,
  hmFile = 4,
  hmIndexFile = 5,
  hmApplication = 6,
  hmDirectory = 7,
  hmMetrics = 8,
};

class qmsTApplication;
// The text of the metrics page for every group and service of the application.
std::string qmsMetricsPage(qmsTApplication& application);

class qmsTHTTPSession : public qmsTSession {
 public:
  explicit qmsTHTTPSession(qmsTService* service);
  ~qmsTHTTPSession() override;

  bool Start() override;
  bool GetVars(const std::string& name, std::string& value) override;

  void ProcessRequest();
  void SendHeader(int64_t fileTime, int64_t contentLength, int status);
  void SendError(int status);
  void SendIcon();
  void SendFile(bool ssi, bool fib);
  bool LoadFile(qmsTServiceCache::Content& data, bool ssi, bool fib, const std::string& path);
  void SendContents(int64_t length, const char* data);
  void SendDirectory();
  void SendCGI();
  void SendAdmin();
  void SendMetrics();  // httpmetrics.cpp
  void ExtendedLog();

  // Request state (cleared between keep-alive requests).
  qmsTHTTPRequest Request;
  std::string Path;  // virtual path the request resolved to
  int Mode = hmError;
  uint32_t Access = 0;
  int Status = 0;
  std::string Message;
  std::string ContentType;
  int64_t ContentLength = -1;
  int64_t BytesSent = 0;
  bool KeepAlive = false;

 private:
  friend class qmsTHTTPApp;
  friend class qmsTHTTPAdmin;

  // Method table handlers.
  void httpProcess();
  void httpNotAllowed();

  void Serve();
  // Reads the request line and headers: 1 a request, 0 the connection ended, or the
  // status of a request refused while reading (the connection closes after its answer).
  int ReadRequest();
  void ClearRequest();
  void ResolveMode();
  bool LocateFile(const std::string& path, struct stat& st);
  void TryIndexFiles();
  void Authorize();
  void CheckAccess();
  void ChooseHandling();
  bool ReceiveBody();
  void Answer();
  void LogResult();
  void UseAnonymous();
  void ReadRights();
  std::string ExtensionList(const char* key);
  bool ExpandDocument(std::string& text, bool ssi, bool fib);
  bool Send(const char* data, size_t len);
  bool SendWithBody(const char* body, size_t len);
  void Fail(int status, const std::string& message);
  std::string Section(const std::string& name);
  // The mounted directory holding a virtual path, opened once and kept while the
  // following requests stay inside it; rel receives the path beneath it.
  const jvb::RootDir* RootFor(const std::string& path, std::string& rel, std::string& real);

  // Per connection: the service's settings as the connection found them, the virtual
  // paths already mapped and the access words already asked (cleared with the user).
  bool Setting(const std::string& key, std::string& value) const;
  void LoadSettings();
  const jvbTFSMapping& MapPath(const std::string& path);
  uint32_t AccessTo(const std::string& realPath);
  std::unordered_map<std::string, std::string> settings_;
  std::unordered_map<std::string, jvbTFSMapping> mapped_;
  std::unordered_map<std::string, uint32_t> rights_;
  std::string user_name_ = "anonymous";
  std::string log_prefix_;
  bool processed_ = false;
  bool drain_ = false;  // the client may still be sending what was not read  // ProcessRequest ran:
                        // its request line is logged
  std::vector<std::string> index_files_;

  Tqms_access access_;
  std::string default_root_ = "/";
  std::string root_;  // virtual root of this request
  std::vector<std::string> ext_fields_;
  std::string ext_fields_text_;
  bool anonymous_user_ = false;
  bool html_ = false;  // expanding a page: client text in variables is HTML-escaped  // the session
                       // user is the account "anonymous"
  int64_t post_limit_ = 0;
  std::string body_file_;
  std::string header_;  // reused for every answer

  // The resolved file of modes 4 and 5.
  std::string real_path_;
  std::string rel_path_;
  uint64_t stamp_ = 0;
  int64_t file_time_ = -1;
  int64_t file_size_ = 0;
  bool fib_ = false;
  bool ssi_ = false;
  qmsTServiceCache::Content cached_;

  jvb::RootDir mount_;
  std::string mount_dir_;
};

std::unique_ptr<qmsTSession> qmsMakeHTTPSession(qmsTService* service);
