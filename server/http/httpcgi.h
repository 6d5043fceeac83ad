// The text steps of running an application: reading an application setting, building a
// CGI environment, and reading the status a CGI program gives in its header lines.
// Nothing here does I/O, so the unit tests feed it text directly.
//
// Threads: the functions share no state.
#pragma once

#include <string>
#include <utility>
#include <vector>

// What an Application[ext] setting names.
struct qmsTHTTPAppCommand {
  enum Kind { kProgram, kPlugin, kRexx } kind = kProgram;
  std::string program;  // kProgram: the first word; kPlugin: the library
  std::string rest;     // kProgram: the leading arguments as written
};
qmsTHTTPAppCommand qmsParseAppCommand(const std::string& setting);

// A CGI environment in the order variables are added. Empty values are left out, "-" in a
// name becomes "_".
class qmsTCGIEnvironment {
 public:
  void Add(std::string name, const std::string& value);
  // Every request header as HTTP_<NAME>. Names that are not letters, digits, "-" and "_"
  // are left out, and so is Proxy (a client must not set the proxy of the program).
  void AddHeaders(const std::vector<std::pair<std::string, std::string>>& headers);
  // The server's own variables after ours: never one of ours again, no HTTP_ variable,
  // nothing of the server's own QMS_ settings.
  void AddServerEnvironment(char** environ);
  const std::vector<std::string>& Strings() const { return strings_; }

 private:
  bool Defined(const std::string& name) const;
  std::vector<std::string> strings_;
  std::vector<std::string> names_;
};

// The status a CGI header block asks for with a "Status:" line ("404 Not Found"), and the
// block without that line. Returns false (block unchanged) when there is none or it does
// not start with a three-digit number.
bool qmsCGIStatus(std::string& block, std::string& statusText, int& status);
// Length of the header block at the start of data, through its empty line (LF or CR LF
// ends); 0 while it has not ended.
size_t qmsCGIHeaderEnd(const std::string& data);

// The query of a request line as the client sent it (not decoded): CGI programs and
// forms decode it themselves, so an encoded "&" or "=" keeps its meaning.
std::string qmsRawQuery(const std::string& requestLine);
// The n-th value (from 0) of name in a query "a=1&b=2", both sides decoded ("+" is a
// blank, "%xx" a byte); false when there is none.
bool qmsQueryValue(const std::string& query, int n, const std::string& name, std::string& value);
