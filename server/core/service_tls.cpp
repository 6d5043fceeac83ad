// The TLS keys of a service: TLSMode, TLSCertificate and TLSKey.
#include <unistd.h>

#include "server/core/group.h"
#include "server/core/service.h"
#include "toolbox/filesys.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"

namespace {

qmsTTlsMode ParseTlsMode(const std::string& text) {
  const std::string m = jvb::AsciiLower(text);
  if (m == "starttls" || m == "offer" || m == "offered") return qmsTTlsMode::kOffer;
  if (m == "required" || m == "require") return qmsTTlsMode::kRequire;
  if (m == "implicit") return qmsTTlsMode::kImplicit;
  return qmsTTlsMode::kOff;
}

std::string FolderOf(const std::string& file) {
  const size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

}  // namespace

bool qmsTService::SetUpTls() {
  jvbTTextConfig* cfg = group_->Config();
  std::string mode, cert, key, host;
  cfg->ReadString(mode, section_, "TLSMode");
  tls_mode_ = qmsTTlsMode::kOff;
  const qmsTTlsMode wanted = ParseTlsMode(mode);
  if (wanted == qmsTTlsMode::kOff) return true;
  cfg->ReadString(cert, section_, "TLSCertificate");
  cfg->ReadString(key, section_, "TLSKey");
  const std::string base = FolderOf(cfg->FileName()) + "/" + jvb::AsciiLower(group_->Name()) + "-" +
                           jvb::AsciiLower(section_);
  cert = cert.empty() ? base + ".crt" : jvb::NativePath(cert);
  key = key.empty() ? base + ".key" : jvb::NativePath(key);
  std::string error;
  if (access(cert.c_str(), F_OK) != 0 && access(key.c_str(), F_OK) != 0) {
    cfg->ReadString(host, section_, "Host");
    if (jvb::MakeSelfSignedCertificate(host, cert, key, error))
      qmsConLog(Prefix() + " made a self-signed certificate for \"" + host + "\": " + cert);
    else
      qmsConLog(Prefix() + " cannot make a self-signed certificate: " + error);
  }
  if (tls_.Load(cert, key, error)) {
    tls_mode_ = wanted;
    Log("TLS ready (" + mode + "), certificate " + cert);
    return true;
  }
  const bool required = wanted != qmsTTlsMode::kOffer;
  const std::string line =
      Prefix() + " TLS not available: " + error +
      (required ? " - the service does not start without it" : " - the service runs without TLS");
  qmsConLog(line);
  Log(line);
  return !required;
}

jvb::TlsContext qmsTService::TlsContext() {
  if (tls_mode_ == qmsTTlsMode::kOff) return nullptr;
  std::string error;
  jvb::TlsContext ctx = tls_.Get(&error);
  if (!error.empty()) Log("TLS certificate reload failed, the previous one stays: " + error);
  return ctx;
}
