#include "toolbox/tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace jvb {

namespace {

// The change time of a file to the nanosecond, with its inode: a certificate renewed within
// the same second, or renamed into place, still counts as changed.
time_t ModTime(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  static_assert(sizeof(time_t) == 8);
  return (static_cast<time_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec) ^
         (static_cast<time_t>(st.st_ino) << 40);
}

TlsContext Wrap(SSL_CTX* ctx) { return TlsContext(ctx, SSL_CTX_free); }

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  // No renegotiation: a client asking for it is refused.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  return ctx;
}

template <typename T, void (*F)(T*)>
struct Free {
  void operator()(T* p) const { F(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Free<X509, X509_free>>;

bool WritePem(const std::string& path, int mode, bool key, EVP_PKEY* pkey, X509* cert) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  fchmod(fd, mode);
  FILE* f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    return false;
  }
  const int ok = key ? PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr)
                     : PEM_write_X509(f, cert);
  return fclose(f) == 0 && ok == 1;
}

}  // namespace

std::string TlsErrorText() {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char b[256];
    ERR_error_string_n(e, b, sizeof b);
    if (!text.empty()) text += "; ";
    text += b;
  }
  return text.empty() ? "no further detail" : text;
}

bool TlsServerContext::Load(const std::string& certFile, const std::string& keyFile,
                            std::string& error) {
  const time_t certTime = ModTime(certFile), keyTime = ModTime(keyFile);
  SSL_CTX* ctx = NewContext(TLS_server_method());
  if (!ctx) {
    error = TlsErrorText();
    return false;
  }
  TlsContext held = Wrap(ctx);
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    error = "certificate " + certFile + " not usable: " + TlsErrorText();
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    error = "key " + keyFile + " not usable: " + TlsErrorText();
    return false;
  }
  static const unsigned char kContext[] = "qms32";
  SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  std::lock_guard<std::mutex> g(lock_);
  ctx_ = std::move(held);
  cert_ = certFile;
  key_ = keyFile;
  cert_mtime_ = certTime;
  key_mtime_ = keyTime;
  return true;
}

TlsContext TlsServerContext::Get(std::string* error) {
  std::string cert, key;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!ctx_) return nullptr;
    const time_t c = ModTime(cert_), k = ModTime(key_);
    if (c == cert_mtime_ && k == key_mtime_) return ctx_;
    // Reported once: the times are taken as seen, whatever the reload gives.
    cert_mtime_ = c;
    key_mtime_ = k;
    cert = cert_;
    key = key_;
  }
  std::string why;
  if (!Load(cert, key, why) && error) *error = why;
  std::lock_guard<std::mutex> g(lock_);
  return ctx_;
}

bool TlsServerContext::Loaded() {
  std::lock_guard<std::mutex> g(lock_);
  return ctx_ != nullptr;
}

TlsContext TlsClientContext(bool verify) {
  SSL_CTX* ctx = NewContext(TLS_client_method());
  if (!ctx) return nullptr;
  if (verify) {
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  }
  return Wrap(ctx);
}

bool MakeSelfSignedCertificate(const std::string& host, const std::string& certFile,
                               const std::string& keyFile, std::string& error) {
  PKeyPtr pkey(EVP_RSA_gen(2048));
  X509Ptr cert(X509_new());
  if (!pkey || !cert) {
    error = TlsErrorText();
    return false;
  }
  const std::string cn = host.empty() ? "localhost" : host;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), pkey.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::string san = "DNS:" + cn;
  if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str())) {
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert.get(), pkey.get(), EVP_sha256()) == 0) {
    error = TlsErrorText();
    return false;
  }
  if (!WritePem(keyFile, 0600, true, pkey.get(), nullptr) ||
      !WritePem(certFile, 0644, false, nullptr, cert.get())) {
    error = "cannot write " + certFile + " / " + keyFile;
    return false;
  }
  return true;
}

}  // namespace jvb
