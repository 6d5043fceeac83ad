// TLS contexts of the socket layer (OpenSSL 3). A server context holds one certificate and
// key, offers TLS 1.2 and 1.3 only with the library's default secure ciphers, keeps a
// session cache (FTP data connections resume the control connection's session) and loads
// the files again when either changes on disk, so a renewed certificate needs no restart.
// A client context encrypts without verifying, or verifies against the system's roots.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;

namespace jvb {

using TlsContext = std::shared_ptr<ssl_ctx_st>;

class TlsServerContext {
 public:
  // Loads the certificate chain and key; false with a reason in error (the previous
  // context, if any, stays in use).
  bool Load(const std::string& certFile, const std::string& keyFile, std::string& error);
  // The context for a new connection, loaded again first when a file changed since (a
  // failed reload keeps the old context and is reported once in error). Null when none.
  TlsContext Get(std::string* error = nullptr);
  bool Loaded();

 private:
  std::mutex lock_;
  TlsContext ctx_;
  std::string cert_, key_;
  time_t cert_mtime_ = 0, key_mtime_ = 0;
};

// A client context: verify false encrypts without checking the peer (opportunistic),
// verify true checks the chain against the system's roots and the host name.
TlsContext TlsClientContext(bool verify);

// Makes a self-signed certificate (RSA 2048, ten years) for host; the key file is written
// with mode 0600. False with a reason in error.
bool MakeSelfSignedCertificate(const std::string& host, const std::string& certFile,
                               const std::string& keyFile, std::string& error);

// The last OpenSSL error as text (the queue is emptied).
std::string TlsErrorText();

}  // namespace jvb
