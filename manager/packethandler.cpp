#include "manager/packethandler.h"

#include "manager/formconsole.h"
#include "manager/formconsolescreen.h"
#include "manager/formservicestatus.h"
#include "manager/managertext.h"
#include "manager/serverthread.h"
#include "toolbox/md5.h"
#include "toolbox/timeutil.h"

namespace {

bool IsRequest(const qmpTBuffer& packet) { return (packet.Flags() & qmpRequest) != 0; }

}  // namespace

TPacketHandler::TPacketHandler(std::string password, TFormConsole& main,
                               TFormConsoleScreen& console, TFormServiceStatus& status)
    : password_(std::move(password)), main_(main), console_(console), status_(status) {}

bool TPacketHandler::Handle(const qmpTBuffer& packet) {
  int code = packet.Code();
  bool handled =
      code == qmpPing || code == qmpAuthenticate || code == qmpGetInt || code == qmpGetStr;
  if (!handled) return true;
  if (packet.Length() < qmpFixedSize(code)) return false;
  switch (code) {
    case qmpPing:
      return IsRequest(packet) ? AnswerPing(packet) : true;
    case qmpAuthenticate:
      return IsRequest(packet) ? AnswerChallenge(packet) : true;
    case qmpGetInt:
      return ShowNumber(packet);
    default:
      return ShowText(packet);
  }
}

bool TPacketHandler::AnswerPing(const qmpTBuffer& packet) {
  unsigned char stamp[8];
  packet.GetBytes(0, stamp, sizeof stamp);
  sender_.Result(packet, send_);
  send_.PutBytes(0, stamp, sizeof stamp);
  Send();
  main_.SetPanel(0, mgr::ClockText(packet.GetLong(0)));
  return true;
}

bool TPacketHandler::AnswerChallenge(const qmpTBuffer& packet) {
  std::string challenge;
  if (!qmpTSession::GetText(1, packet, challenge)) return false;
  sender_.Result(packet, send_);
  send_.PutByte(0, 4);
  qmpTSession::SetText(qmsMD5Hex(challenge + password_), 1, send_);
  Send();
  return true;
}

bool TPacketHandler::ShowNumber(const qmpTBuffer& packet) {
  std::string name;
  if (!qmpTSession::GetText(2, packet, name)) return false;
  if (name == "qms.uptime") main_.SetPanel(1, mgr::UptimeText(packet.GetLong(6)));
  return true;
}

bool TPacketHandler::ShowText(const qmpTBuffer& packet) {
  std::string name, value;
  if (!qmpTSession::GetText(2, packet, name) || !qmpTSession::GetText(6, packet, value))
    return false;
  if (name == "qms.console.output") {
    console_.AddLine(mgr::DisplayText(value));
  } else if (auto service = mgr::StatusName(name)) {
    if (auto s = mgr::ParseServiceStatus(service->first, service->second, value))
      status_.Update(*s);
  }
  return true;
}

void TPacketHandler::SendCommand(const std::string& word) {
  unsigned char stamp[8];
  jvb::PutStamp8(stamp, jvb::NowLocal());
  sender_.Request(qmpCommand, send_);
  send_.PutByte(0, 0);
  send_.PutBytes(1, stamp, sizeof stamp);
  qmpTSession::SetText(word, 9, send_);
  Send();
}

void TPacketHandler::Send() {
  if (thread_) thread_->Send(send_);
}
