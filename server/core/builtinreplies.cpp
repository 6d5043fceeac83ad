#include "server/core/builtinreplies.h"

#include <iterator>

#include "server/core/service.h"
#include "toolbox/platform.h"

namespace {

// The codes are the ones the TLS extensions of the protocols define; the wording is the
// shipped message files'.
constexpr qmsTBuiltInReply kReplies[] = {
    {prSMTP, "HELO", "250e", "250-STARTTLS"},
    {prSMTP, "STARTTLS", "220a", "220 Ready to start TLS"},
    {prSMTP, "STARTTLS", "501a", "501 Syntax error (no parameters allowed)"},
    {prSMTP, "STARTTLS", "503a", "503 Bad sequence of commands: TLS already active"},
    {prSMTP, "STARTTLS", "530a", "530 Must issue a STARTTLS command first"},
    {prPOP3, "CAPA", "OKa", "+OK Capability list follows"},
    {prPOP3, "STLS", "OKa", "+OK Begin TLS negotiation"},
    {prPOP3, "STLS", "ERRa", "-ERR Command not permitted when TLS active"},
    {prPOP3, "STLS", "ERRb", "-ERR [AUTH] TLS required, send STLS first"},
    {prIMAP4, "CAPABILITY", "b", "* CAPABILITY IMAP4rev1 STARTTLS"},
    {prIMAP4, "CAPABILITY", "c", "* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED"},
    {prIMAP4, "LOGIN", "NOb",
     "%(imap.identifier) NO [PRIVACYREQUIRED] LOGIN is disabled until STARTTLS"},
    {prIMAP4, "STARTTLS", "OKa", "%(imap.identifier) OK Begin TLS negotiation now"},
    {prIMAP4, "STARTTLS", "BADa", "%(imap.identifier) BAD TLS is already active"},
    {prFTP, "AUTH", "234a", "234 AUTH TLS successful"},
    {prFTP, "AUTH", "504a", "504 Security mechanism not understood"},
    {prFTP, "AUTH", "503a", "503 TLS already active"},
    {prFTP, "AUTH", "530a", "530 TLS required, send AUTH TLS first"},
    {prFTP, "PBSZ", "200a", "200 PBSZ=0"},
    {prFTP, "PBSZ", "503a", "503 PBSZ needs AUTH TLS first"},
    {prFTP, "PBSZ", "501a", "501 PBSZ needs a number"},
    {prFTP, "PROT", "200a", "200 Protection level set to %A%"},
    {prFTP, "PROT", "503a", "503 PROT needs AUTH TLS and PBSZ first"},
    {prFTP, "PROT", "536a", "536 Protection level not supported"},
    {prFTP, "PROT", "504a", "504 Protection level not understood"},
};

}  // namespace

const char* qmsBuiltInReply(int protocol, const std::string& section, const std::string& key) {
  for (const qmsTBuiltInReply& r : kReplies)
    if (r.protocol == protocol && key == r.key && jvb::EqualNoCase(section, r.section))
      return r.text;
  return nullptr;
}

const qmsTBuiltInReply* qmsBuiltInReplies(size_t& count) {
  count = std::size(kReplies);
  return kReplies;
}
