#include "server/core/service.h"
#include "server/core/session.h"

bool qmsTSession::TlsOffered() const {
  if (!service_ || !socket_ || socket_->Secure()) return false;
  const qmsTTlsMode m = service_->TlsMode();
  return m == qmsTTlsMode::kOffer || m == qmsTTlsMode::kRequire;
}

bool qmsTSession::TlsRequired() const {
  return service_ && socket_ && !socket_->Secure() && service_->TlsMode() == qmsTTlsMode::kRequire;
}

bool qmsTSession::StartTls() {
  if (!service_ || !socket_) return false;
  const jvb::TlsContext ctx = service_->TlsContext();
  bool ok;
  {
    std::lock_guard<std::mutex> g(send_lock_);
    ok = socket_->StartTls(ctx, true, std::max(Timeout, 1) * 1000);
  }
  ResetIdle();
  if (ok) {
    Log("TLS established: " + socket_->TlsSummary(), kLogUser);
    return true;
  }
  Log("TLS handshake failed: " + socket_->tlsError);
  socket_->Shutdown();
  return false;
}
