// FTP over TLS: AUTH TLS, PBSZ and PROT.
#include "server/core/service.h"
#include "server/ftp/ftpsession.h"
#include "toolbox/platform.h"

void qmsTFTPSession::cAUTH(const std::string&, const std::string& argument) {
  const std::string mechanism = jvb::AsciiUpper(argument);
  if (mechanism != "TLS" && mechanism != "TLS-C" && mechanism != "SSL")
    return SendTxt("504a", "AUTH");
  if (!TlsOffered()) return SendTxt("503a", "AUTH");
  SendTxt("234a", "AUTH");
  // A failed handshake shuts the connection down: the command loop ends.
  if (StartTls()) prot_private_ = false;
}

void qmsTFTPSession::cPBSZ(const std::string&, const std::string& argument) {
  if (!Secure()) return SendTxt("503a", "PBSZ");
  if (argument.empty() || argument.find_first_not_of("0123456789") != std::string::npos)
    return SendTxt("501a", "PBSZ");
  SendTxt("200a", "PBSZ");  // streams over TLS need no buffer size: always 0
}

void qmsTFTPSession::cPROT(const std::string&, const std::string& argument) {
  if (!Secure()) return SendTxt("503a", "PROT");
  const std::string level = jvb::AsciiUpper(argument);
  if (level == "S" || level == "E") return SendTxt("536a", "PROT");
  if (level != "C" && level != "P") return SendTxt("504a", "PROT");
  prot_private_ = level == "P";
  SendArg("200a", "PROT", level);
}

bool qmsTFTPSession::RefusedWithoutTls() {
  if (!TlsRequired()) return false;
  SendTxt("530a", "AUTH");
  Log("USER refused on a plain connection (TLS required)");
  return true;
}

bool qmsTFTPSession::SecureData() {
  if (!prot_private_ || !data_) return true;
  if (data_->StartTls(Service()->TlsContext(), true, std::max(Timeout, 30) * 1000)) {
    Debug("Data connection: " + data_->TlsSummary(), kDebugProto8);
    return true;
  }
  Log("Data connection TLS handshake failed: " + data_->tlsError);
  return false;
}
