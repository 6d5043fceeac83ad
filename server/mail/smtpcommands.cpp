// qmsTSMTPSession: the command handlers of the receiving dialogue.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/smtpsession.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/trace.h"

namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The header fields of a message as DATA reads them, held until the text is complete and
// then written in one go. Bounded: further fields are not indexed, values stop growing.
class FieldIndex {
 public:
  // name is already upper-cased and valid.
  void Set(const std::string& name, const std::string& value) {
    auto it = at_.find(name);
    if (it == at_.end()) {
      if (fields_.size() >= qmsTSMTPSession::kHeaderFieldsMax) return;
      it = at_.emplace(name, fields_.size()).first;
      fields_.emplace_back(name, std::string());
      total_ += name.size();
    }
    Replace(fields_[it->second].second, value);
  }
  void Append(const std::string& name, const std::string& line) {
    auto it = at_.find(name);
    if (it == at_.end()) return;
    std::string& value = fields_[it->second].second;
    Replace(value, value + line);
  }
  const std::vector<std::pair<std::string, std::string>>& Fields() const { return fields_; }

 private:
  void Replace(std::string& stored, std::string value) {
    if (value.size() > qmsTSMTPSession::kHeaderValueMax)
      value.resize(qmsTSMTPSession::kHeaderValueMax);
    const size_t others = total_ - stored.size();
    const size_t room =
        others >= qmsTSMTPSession::kHeaderIndexMax ? 0 : qmsTSMTPSession::kHeaderIndexMax - others;
    if (value.size() > room) value.resize(room);
    total_ = total_ - stored.size() + value.size();
    stored = std::move(value);
  }

  std::vector<std::pair<std::string, std::string>> fields_;
  std::unordered_map<std::string, size_t> at_;
  size_t total_ = 0;
};

}  // namespace

void qmsTSMTPSession::srvHELO(const std::string& argument, bool ehlo) {
  jvbTraceScope trace("qmsTSMTPSession.srvHELO");
  Ehlo = ehlo;
  RemoteDomain = argument;
  if (!ehlo) {
    SendTxt("250a", "HELO");
    Log("HELO " + Quoted(argument) + ", ok");
  } else {
    SendTxt("250b", "HELO");
    std::string last;
    if (jvbTTextConfig* messages = Messages()) messages->ReadValue("HELO", "250d", last);
    for (size_t at = last.find("%A%"); at != std::string::npos; at = last.find("%A%", at + 4))
      last.replace(at, 3, "HELP");
    SendCmd(std::string(), last);
    Log("EHLO " + Quoted(argument) + ", ok");
  }
  State |= kGreeted;
}

void qmsTSMTPSession::srvMAIL(const std::string& argument) {
  jvbTraceScope trace("qmsTSMTPSession.srvMAIL");
  const std::string path = ExtractPath(argument);
  srvRSET(true);
  // The sender becomes the recipient of delivery reports: the same rule as for recipients.
  if (!path.empty() && !qmsTQueueFile::ValidAddressPart(path)) {
    SendTxt("553a", "MAIL");
    Log("MAIL " + Quoted(path) + ", address not allowed");
    return;
  }
  auto header = std::make_unique<qmsTQueueFile>();
  header->Set("HEADER", "ReceivedAt", jvb::FormatLauncherStamp(jvb::NowLocal()));
  header->Set("HEADER", "RemoteDomain", RemoteDomain);
  header->Set("HEADER", "RemoteHost", ClientHost());
  header->Set("HEADER", "RemoteIP", ClientIP());
  header->Set("HEADER", "ReversePath", path);
  int err = 0;
  if (!header->Create(QueueDirectory, threadId, &err)) {
    SendTxt("451a", "MAIL");
    Log("MAIL " + Quoted(path) + ", unable to create queue file in " + Quoted(QueueDirectory) +
        " (" + std::to_string(err) + ")");
    return;
  }
  Header = std::move(header);
  MessageName = Header->Name();
  MessagePath = Header->Path();
  Recipients = 0;
  State |= kTransaction;
  SendTxt("250a", "MAIL");
  Log("MAIL " + Quoted(path) + ", ok");
}

void qmsTSMTPSession::srvRCPT(const std::string& argument) {
  jvbTraceScope trace("qmsTSMTPSession.srvRCPT");
  const std::string path = RecipientPath(argument);
  size_t at = path.find('@');
  Ident = path.substr(0, at);
  Domain = at == std::string::npos ? std::string() : path.substr(at);
  if (path.empty()) {
    SendTxt("501a", "RCPT");
    Log("RCPT " + Quoted(path) + ", no address");
    return;
  }
  // Local parts and domains become list words and section names of the queue header.
  if (!qmsTQueueFile::ValidAddressPart(Ident) ||
      (at != std::string::npos && (Domain.size() < 2 || !qmsTQueueFile::ValidAddressPart(Domain) ||
                                   Domain.find('@', 1) != std::string::npos))) {
    SendTxt("553a", "RCPT");
    Log("RCPT " + Quoted(path) + ", address not allowed");
    return;
  }
  if (Recipients >= kRecipientsMax) {
    SendTxt("452a", "RCPT");
    Log("RCPT " + Quoted(path) + ", too many recipients");
    return;
  }
  qmsTQueueFile::Model before = Header->Snapshot();
  ForwardTrail trail;
  int result = AddRecipient(path, trail);
  if (result >= rcLocal && !Header->Flush()) {
    // Nothing was recorded, so nothing may be promised.
    Header->Restore(std::move(before));
    Header->Flush();
    SendTxt("451a", "RCPT");
    Log("RCPT " + Quoted(path) + ", unable to write queue file " + Quoted(MessagePath + ".inc") +
        " (" + std::to_string(Header->LastError()) + ")");
    return;
  }
  switch (result) {
    case rcForwardNotAllowed:
      SendTxt("551a", "RCPT");
      Log("RCPT " + Quoted(path) + ", forward not allowed");
      break;
    case rcNotFound:
      SendTxt("550a", "RCPT");
      Log("RCPT " + Quoted(path) + ", local user not found");
      break;
    case rcLocal:
      SendTxt("250a", "RCPT");
      Log("RCPT " + Quoted(path) + ", ok");
      break;
    case rcCatchAll:
      SendTxt("250a", "RCPT");
      Log("RCPT " + Quoted(path) + ", catch all ok");
      break;
    default:
      SendTxt("251a", "RCPT");
      Log("RCPT " + Quoted(path) + ", ok");
      break;
  }
  if (result >= rcLocal) {
    State |= kRecipients;
    ++Recipients;
  }
  std::vector<std::string> followed = trail.followed;
  std::sort(followed.begin(), followed.end(), [](const std::string& a, const std::string& b) {
    return jvb::CompareNoCase(a, b) < 0;
  });
  followed.erase(std::unique(followed.begin(), followed.end(),
                             [](const std::string& a, const std::string& b) {
                               return jvb::EqualNoCase(a, b);
                             }),
                 followed.end());
  for (const std::string& target : followed) Log("> " + Quoted(target));
}

void qmsTSMTPSession::srvDATA(const std::string& /*argument*/) {
  jvbTraceScope trace("qmsTSMTPSession.srvDATA");
  const std::string bodyPath = MessagePath + ".msg";
  if (Header->BodyCreated()) Header->DiscardBody();  // left by an earlier failed DATA
  if (!Header->CreateBody()) {
    SendTxt("451a", "DATA");
    Log("DATA, unable to open file " + Quoted(bodyPath) + " for writing");
    return;
  }
  State |= kBodyWritten;
  Header->WriteBody(ReceivedLine());
  SendTxt("354a", "DATA");

  const int64_t limit = static_cast<int64_t>(MessageSizeMax) * 1024;
  FieldIndex fields;
  std::string field;  // the field a continuation line belongs to
  bool inHeader = true;
  int64_t bodyPosition = -1;
  int64_t emptyLines = 0;  // body lines held back until a non-empty line follows
  bool ended = false, tooLarge = false;
  std::string line;
  while (!terminate) {
    // Only CR LF ends a line here: a bare LF or CR is text, so "\n.\n" and the like can
    // neither end the message nor start a second transaction hidden inside it.
    int rc = ReadLine(line, kDataLineMax, jvbTSocket::LineEnd::kCrLf);
    if (rc == -3) {
      // A line beyond the limit is lost already; the message cannot be stored whole.
      tooLarge = true;
      continue;
    }
    if (rc != 1) break;  // connection closed: the text is abandoned
    if (line == ".") {
      ended = true;
      break;
    }
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    if (tooLarge) continue;  // read on to the end, store nothing more
    if (inHeader) {
      Header->WriteBody(line + "\r\n");
      if (line.empty()) {
        inHeader = false;
        bodyPosition = Header->BodySize();
      } else if (line[0] == ' ' || line[0] == '\t') {
        if (!field.empty()) fields.Append(field, line);
      } else {
        size_t colon = line.find(':');
        std::string name =
            jvb::AsciiUpper(colon == std::string::npos ? line : line.substr(0, colon));
        if (colon == std::string::npos || !qmsTQueueFile::ValidFieldName(name)) {
          field.clear();  // not stored: it would not read back as the same key
        } else {
          size_t v = line.find_first_not_of(" \t", colon + 1);
          fields.Set(name, v == std::string::npos ? std::string() : line.substr(v));
          field = name;
        }
      }
    } else if (line.empty()) {
      ++emptyLines;
    } else {
      std::string text;
      for (; emptyLines > 0 && Header->BodySize() + static_cast<int64_t>(text.size()) <= limit;
           --emptyLines)
        text += "\r\n";
      emptyLines = 0;
      text += line;
      text += "\r\n";
      Header->WriteBody(text);
    }
    if (Header->BodySize() + 2 * emptyLines > limit) tooLarge = true;
  }
  const bool written = Header->CloseBody();

  if (!ended) {
    SendTxt("554a", "DATA");
    Log("DATA Failed");
    srvRSET(true);
    return;
  }
  if (tooLarge) {
    SendTxt("552a", "DATA");
    Log("DATA, message larger than " + std::to_string(MessageSizeMax) + " KiB refused");
    srvRSET(true);
    return;
  }
  for (const auto& [name, value] : fields.Fields()) Header->Set("MESSAGE.HEADER", name, value);
  if (bodyPosition >= 0) Header->Set("MESSAGE.BODY", "BodyPosition", std::to_string(bodyPosition));
  if (!written || !Header->Flush()) {
    SendTxt("451a", "DATA");
    Log("DATA, unable to write file " + Quoted(written ? MessagePath + ".inc" : bodyPath) + " (" +
        std::to_string(Header->LastError()) + ")");
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
    Log("DATA, unable to queue message " + Quoted(MessagePath + ".hdr") + " (" +
        std::to_string(Header->LastError()) + ")");
    srvRSET(true);
    return;
  }
  SendTxt("250a", "DATA");
  Log("DATA Ok");
  State &= static_cast<uint8_t>(~(kTransaction | kRecipients | kBodyWritten));
}

void qmsTSMTPSession::srvRSET(bool silent) {
  jvbTraceScope trace("qmsTSMTPSession.srvRSET");
  if (State & kBodyWritten) {
    if (Header) Header->DiscardBody();
    State &= static_cast<uint8_t>(~kBodyWritten);
  }
  if (State & kTransaction) {
    if (Header) Header->Discard();
    Header.reset();
    State &= static_cast<uint8_t>(~(kTransaction | kRecipients));
  }
  Recipients = 0;
  if (!silent) {
    SendTxt("250a", "RSET");
    Log("RSET Ok");
  }
}

void qmsTSMTPSession::srvNOOP(const std::string& /*argument*/) { SendTxt("250a", "NOOP"); }

void qmsTSMTPSession::srvNI(const std::string& /*argument*/) { SendTxt("502a", "GLOB"); }
