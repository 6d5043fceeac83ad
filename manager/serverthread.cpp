#include "manager/serverthread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <exception>
#include <vector>

#include "toolbox/names.h"

TServerThread::TServerThread(QObject* window, uint32_t address, uint16_t port, Handler handler,
                             Poster poster)
    : window_(window),
      address_(address),
      port_(port),
      handler_(std::move(handler)),
      poster_(std::move(poster)) {}

TServerThread::~TServerThread() { Stop(); }

bool TServerThread::Send(const qmpTBuffer& packet) {
  std::lock_guard<std::mutex> hold(send_lock_);
  if (!connected_ || lost_) return false;
  if (socket_.Send(packet.Bytes())) return true;
  lost_ = true;
  return false;
}

void TServerThread::Stop() {
  quit_ = true;
  lost_ = true;
  {
    std::lock_guard<std::mutex> hold(send_lock_);
    socket_.Shutdown();
  }
  while (!wait(20)) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void TServerThread::run() {
  try {
    Post(2, "Connection thread started");
    Serve();
  } catch (const std::exception&) {
    Post(2, "Connection thread quiting");
  }
}

void TServerThread::Serve() {
  while (!quit_) {
    if (ConnectOnce()) {
      SendIdentity();
      ReceiveLoop();
    }
    Disconnect();
    Pause();
  }
}

bool TServerThread::ConnectOnce() {
  lost_ = false;
  Post(2, "Connecting ...");
  int rc = socket_.Connect(address_, port_, kConnectTimeoutMs);
  if (rc != 0 || quit_) {
    if (!quit_) Post(2, "Connection failed");
    return false;
  }
  connected_ = true;
  Post(2, "Connected");
  return true;
}

void TServerThread::SendIdentity() {
  sender_.Request(qmpIdentity, identity_);
  qmpTSession::SetText("Quillmar/32 Console", 0, identity_);
  qmpTSession::SetText(qms::kProductVersion, 4, identity_);
  qmpTSession::SetText(qms::kBuildId, 8, identity_);
  Send(identity_);
}

void TServerThread::ReceiveLoop() {
  bool bad = false;
  while (!lost_ && !bad) {
    switch (ReceiveOne()) {
      case Receive::kIdle:
        break;
      case Receive::kPacket:
        bad = !HandOver();
        break;
      case Receive::kClosed:
        lost_ = true;
        break;
      case Receive::kBad:
        bad = true;
        break;
    }
  }
  if (!quit_) Post(2, bad ? "Disconnected (bad packet)" : "Disconnected");
}

// One packet: exactly the 8 header bytes, then exactly the payload they announce.
TServerThread::Receive TServerThread::ReceiveOne() {
  int ready = socket_.WaitReadable(1000);
  if (ready == 0) return Receive::kIdle;
  if (ready < 0) return Receive::kClosed;
  std::vector<char> bytes(qmpHeaderSize);
  if (!ReadExactly(bytes.data(), qmpHeaderSize, kPacketTimeoutMs)) return Receive::kClosed;
  int length = static_cast<uint8_t>(bytes[6]) | static_cast<uint8_t>(bytes[7]) << 8;
  if (length > qmpMaxPayload) return Receive::kBad;
  bytes.resize(qmpHeaderSize + length);
  if (!ReadExactly(bytes.data() + qmpHeaderSize, length, kPacketTimeoutMs)) return Receive::kClosed;
  return received_.Assign(bytes.data(), bytes.size()) ? Receive::kPacket : Receive::kBad;
}

bool TServerThread::ReadExactly(char* to, int count, int timeoutMs) {
  int have = 0;
  int waited = 0;
  while (have < count) {
    if (lost_ || waited >= timeoutMs) return false;
    int n = socket_.Recv(to + have, count - have, 250);
    if (n == -2) {
      waited += 250;
      continue;
    }
    if (n <= 0) return false;
    have += n;
  }
  return true;
}

bool TServerThread::HandOver() {
  bool ok = true;
  QMetaObject::invokeMethod(
      window_, [this, &ok] { ok = handler_(received_); }, Qt::BlockingQueuedConnection);
  return ok;
}

void TServerThread::Post(int panel, const QString& text) {
  QMetaObject::invokeMethod(
      window_, [this, panel, &text] { poster_(panel, text); }, Qt::BlockingQueuedConnection);
}

void TServerThread::Disconnect() {
  connected_ = false;
  socket_.Shutdown();
  std::lock_guard<std::mutex> hold(send_lock_);
  socket_.Close();
}

void TServerThread::Pause() {
  for (int waited = 0; waited < kPauseMs && !quit_; waited += 50) msleep(50);
}
