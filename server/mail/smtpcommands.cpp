// qmsTSMTPSession: the command handlers of the receiving dialogue.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/messagereader.h"
#include "server/mail/smtpsession.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

// The body file of the open transaction as the message reader's store.
class BodySink : public qmsTMessageReader::Sink {
 public:
  explicit BodySink(qmsTQueueFile& header) : header_(header) {}
  void Write(const std::string& bytes) override { header_.WriteBody(bytes); }
  int64_t Size() const override { return header_.BodySize(); }

 private:
  qmsTQueueFile& header_;
};

}  // namespace

void qmsTSMTPSession::srvHELO(const std::string& argument, bool ehlo) {
  jvbTraceScope trace("qmsTSMTPSession.srvHELO");
  Ehlo = ehlo;
  RemoteDomain = argument;
  if (!ehlo) {
    SendTxt("250a", "HELO");
    Log("HELO " + qmsQuoted(argument) + ", ok");
  } else {
    SendTxt("250b", "HELO");
    if (TlsOffered()) SendTxt("250e", "HELO");
    std::string last;
    if (jvbTTextConfig* messages = Messages()) messages->ReadValue("HELO", "250d", last);
    for (size_t at = last.find("%A%"); at != std::string::npos; at = last.find("%A%", at + 4))
      last.replace(at, 3, "HELP");
    SendCmd(std::string(), last);
    Log("EHLO " + qmsQuoted(argument) + ", ok");
  }
  Greeted = true;
}

void qmsTSMTPSession::srvMAIL(const std::string& argument) {
  jvbTraceScope trace("qmsTSMTPSession.srvMAIL");
  const std::string path = ExtractPath(argument);
  if (TlsRequired()) {
    SendTxt("530a", "STARTTLS");
    Log("MAIL " + qmsQuoted(path) + ", refused on a plain connection (TLS required)");
    return;
  }
  srvRSET(true);
  // The sender becomes the recipient of delivery reports: the same rule as for recipients.
  if (!path.empty() && !qmsTQueueFile::ValidAddressPart(path)) {
    SendTxt("553a", "MAIL");
    Log("MAIL " + qmsQuoted(path) + ", address not allowed");
    return;
  }
  auto header = std::make_unique<qmsTQueueFile>();
  header->Set("HEADER", "ReceivedAt", jvb::FormatLauncherStamp(jvb::NowLocal()));
  header->Set("HEADER", "RemoteDomain", RemoteDomain);
  header->Set("HEADER", "RemoteHost", ClientHost());
  header->Set("HEADER", "RemoteIP", ClientIP());
  header->Set("HEADER", "ReversePath", path);
  int err = 0;
  if (!header->Create(QueueDirectory, QueueThreadId(), &err)) {
    SendTxt("451a", "MAIL");
    Log("MAIL " + qmsQuoted(path) + ", unable to create queue file in " +
        qmsQuoted(QueueDirectory) + " (" + std::to_string(err) + ")");
    return;
  }
  Header = std::move(header);
  MessageName = Header->Name();
  MessagePath = Header->Path();
  Recipients = 0;
  SendTxt("250a", "MAIL");
  Log("MAIL " + qmsQuoted(path) + ", ok");
}

void qmsTSMTPSession::srvRCPT(const std::string& argument) {
  jvbTraceScope trace("qmsTSMTPSession.srvRCPT");
  const std::string path = RecipientPath(argument);
  if (checkRCPT(path)) proceedRCPT(path);
}

bool qmsTSMTPSession::checkRCPT(const std::string& path) {
  size_t at = path.find('@');
  Ident = path.substr(0, at);
  Domain = at == std::string::npos ? std::string() : path.substr(at);
  if (path.empty()) {
    SendTxt("501a", "RCPT");
    Log("RCPT " + qmsQuoted(path) + ", no address");
    return false;
  }
  // Local parts and domains become list words and section names of the queue header.
  if (!qmsTQueueFile::ValidAddressPart(Ident) ||
      (at != std::string::npos && (Domain.size() < 2 || !qmsTQueueFile::ValidAddressPart(Domain) ||
                                   Domain.find('@', 1) != std::string::npos))) {
    SendTxt("553a", "RCPT");
    Log("RCPT " + qmsQuoted(path) + ", address not allowed");
    return false;
  }
  if (Recipients >= kRecipientsMax) {
    SendTxt("452a", "RCPT");
    Log("RCPT " + qmsQuoted(path) + ", too many recipients");
    return false;
  }
  return true;
}

void qmsTSMTPSession::proceedRCPT(const std::string& path) {
  qmsTQueueFile::Model before = Header->Snapshot();
  ForwardTrail trail;
  int result = AddRecipient(path, trail);
  if (result >= rcLocal && !Header->Flush()) {
    // Nothing was recorded, so nothing may be promised.
    Header->Restore(std::move(before));
    Header->Flush();
    SendTxt("451a", "RCPT");
    Log("RCPT " + qmsQuoted(path) + ", unable to write queue file " +
        qmsQuoted(MessagePath + qmsTQueueFile::kIncomingSuffix) + " (" +
        std::to_string(Header->LastError()) + ")");
    return;
  }
  ReplyRecipient(result, path);
  if (result >= rcLocal) ++Recipients;
  LogFollowed(trail);
}

void qmsTSMTPSession::ReplyRecipient(int result, const std::string& path) {
  switch (result) {
    case rcForwardNotAllowed:
      SendTxt("551a", "RCPT");
      Log("RCPT " + qmsQuoted(path) + ", forward not allowed");
      break;
    case rcNotFound:
      SendTxt("550a", "RCPT");
      Log("RCPT " + qmsQuoted(path) + ", local user not found");
      break;
    case rcLocal:
      SendTxt("250a", "RCPT");
      Log("RCPT " + qmsQuoted(path) + ", ok");
      break;
    case rcCatchAll:
      SendTxt("250a", "RCPT");
      Log("RCPT " + qmsQuoted(path) + ", catch all ok");
      break;
    default:
      SendTxt("251a", "RCPT");
      Log("RCPT " + qmsQuoted(path) + ", ok");
      break;
  }
}

void qmsTSMTPSession::LogFollowed(const ForwardTrail& trail) {
  std::vector<std::string> followed = trail.followed;
  std::sort(followed.begin(), followed.end(), [](const std::string& a, const std::string& b) {
    return jvb::CompareNoCase(a, b) < 0;
  });
  followed.erase(std::unique(followed.begin(), followed.end(),
                             [](const std::string& a, const std::string& b) {
                               return jvb::EqualNoCase(a, b);
                             }),
                 followed.end());
  for (const std::string& target : followed) Log("> " + qmsQuoted(target));
}

void qmsTSMTPSession::srvDATA(const std::string& /*argument*/) {
  jvbTraceScope trace("qmsTSMTPSession.srvDATA");
  if (!BeginBody()) return;
  BodySink sink(*Header);
  qmsTMessageReader reader(sink, static_cast<int64_t>(MessageSizeMax) * 1024);
  ReadMessage(reader);
  const bool written = Header->CloseBody();
  if (!checkMessage(reader)) {
    srvRSET(true);
    return;
  }
  proceedDATA(reader, written);
}

bool qmsTSMTPSession::BeginBody() {
  const std::string bodyPath = MessagePath + qmsTQueueFile::kBodySuffix;
  if (Header->BodyCreated()) Header->DiscardBody();  // left by an earlier failed DATA
  if (!Header->CreateBody()) {
    SendTxt("451a", "DATA");
    Log("DATA, unable to open file " + qmsQuoted(bodyPath) + " for writing");
    return false;
  }
  Header->WriteBody(ReceivedLine());
  SendTxt("354a", "DATA");
  return true;
}

void qmsTSMTPSession::ReadMessage(qmsTMessageReader& reader) {
  std::string line;
  while (!terminate) {
    // Only CR LF ends a line here: a bare LF or CR is text (see qmsTMessageReader).
    int rc = ReadLine(line, kDataLineMax, jvbTSocket::LineEnd::kCrLf);
    if (rc == -3) {
      reader.LineLost();
      continue;
    }
    if (rc != 1) return;  // connection closed: the text is abandoned
    if (reader.Line(line)) return;
  }
}

bool qmsTSMTPSession::checkMessage(const qmsTMessageReader& reader) {
  if (!reader.Ended()) {
    SendTxt("554a", "DATA");
    Log("DATA Failed");
    return false;
  }
  if (reader.TooLarge()) {
    SendTxt("552a", "DATA");
    Log("DATA, message larger than " + std::to_string(MessageSizeMax) + " KiB refused");
    return false;
  }
  return true;
}

void qmsTSMTPSession::proceedDATA(const qmsTMessageReader& reader, bool written) {
  for (const auto& [name, value] : reader.Fields()) Header->Set("MESSAGE.HEADER", name, value);
  if (reader.BodyPosition() >= 0)
    Header->Set("MESSAGE.BODY", "BodyPosition", std::to_string(reader.BodyPosition()));
  if (!written || !Header->Flush()) {
    SendTxt("451a", "DATA");
    Log("DATA, unable to write file " +
        qmsQuoted(MessagePath +
                  (written ? qmsTQueueFile::kIncomingSuffix : qmsTQueueFile::kBodySuffix)) +
        " (" + std::to_string(Header->LastError()) + ")");
    srvRSET(true);
    return;
  }
  std::string output;
  if (RunHook("hookOnData", std::string(), output)) {
    SendHookReply(output);
    Log("DATA Rejected by Hook");
    srvRSET(true);
    return;
  }
  if (!Header->Commit()) {
    SendTxt("451a", "DATA");
    Log("DATA, unable to queue message " + qmsQuoted(MessagePath + qmsTQueueFile::kHeaderSuffix) +
        " (" + std::to_string(Header->LastError()) + ")");
    srvRSET(true);
    return;
  }
  Count(mcMailReceived);
  Count(mcMailQueued);
  if (Queued.size() < kQueuedKept) Queued.push_back(MessageName);
  SendTxt("250a", "DATA");
  Log("DATA Ok");
}

void qmsTSMTPSession::srvRSET(bool silent) {
  jvbTraceScope trace("qmsTSMTPSession.srvRSET");
  if (TransactionOpen()) {
    Header->Discard();  // the body file with it
    Header.reset();
  }
  Recipients = 0;
  if (!silent) {
    SendTxt("250a", "RSET");
    Log("RSET Ok");
  }
}

void qmsTSMTPSession::srvSTARTTLS(const std::string& argument) {
  // A service without TLS knows no such command, as before.
  if (Service()->TlsMode() == qmsTTlsMode::kOff) return SendTxt("500a", "GLOB");
  if (!argument.empty()) return SendTxt("501a", "STARTTLS");
  if (!TlsOffered()) return SendTxt("503a", "STARTTLS");
  SendTxt("220a", "STARTTLS");
  if (!StartTls()) return;  // the connection is shut down: the command loop ends
  // Nothing learnt before the handshake counts after it.
  srvRSET(true);
  Greeted = false;
  Ehlo = false;
  RemoteDomain.clear();
}

void qmsTSMTPSession::srvNOOP(const std::string& /*argument*/) { SendTxt("250a", "NOOP"); }

void qmsTSMTPSession::srvNI(const std::string& /*argument*/) { SendTxt("502a", "GLOB"); }
