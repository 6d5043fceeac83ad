// TServerThread: the manager's connection to the server's management service. It connects,
// asks for the server's identity, then reads packets and hands each one to the window
// thread, waiting until the window thread has handled it. After a lost connection or a
// failed connect it pauses briefly and connects again, for as long as the program runs.
//
// Threads: run() is the connection thread, which never touches a window; status texts and
// packets reach the window thread through blocking hand-overs. Send and Stop belong to the
// window thread. The receive buffer is written by the connection thread and read by the
// packet handler only while the connection thread waits for it.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "toolbox/packet.h"
#include "toolbox/socket.h"

class TServerThread : public QThread {
  Q_OBJECT

 public:
  // Handles one packet on the window thread; false when the packet is broken (a text that
  // lies outside it, a fixed part cut short), which ends the connection.
  using Handler = std::function<bool(const qmpTBuffer&)>;
  // Shows a status text in a panel of the main window, on the window thread.
  using Poster = std::function<void(int panel, const QString& text)>;

  // Pause between connection attempts.
  static constexpr int kPauseMs = 1000;
  static constexpr int kConnectTimeoutMs = 3000;
  // A packet that has begun must be complete within this time.
  static constexpr int kPacketTimeoutMs = 30000;

  // window: an object of the window thread that runs the hand-overs.
  TServerThread(QObject* window, uint32_t address, uint16_t port, Handler handler, Poster poster);
  ~TServerThread() override;

  // Window thread: sends a whole packet. False (and the connection counted as lost) when
  // there is no connection or not every byte went out.
  bool Send(const qmpTBuffer& packet);
  // Window thread: ends the connection thread. The window thread keeps handling events
  // while it waits, so a hand-over in progress completes.
  void Stop();

 protected:
  void run() override;

 private:
  enum class Receive { kPacket, kIdle, kClosed, kBad };

  void Serve();
  bool ConnectOnce();
  void SendIdentity();
  void ReceiveLoop();
  Receive ReceiveOne();
  bool ReadExactly(char* to, int count, int timeoutMs);
  bool HandOver();
  void Post(int panel, const QString& text);
  void Disconnect();
  void Pause();

  QObject* window_;
  uint32_t address_;
  uint16_t port_;
  Handler handler_;
  Poster poster_;

  jvbTSocket socket_;
  std::mutex send_lock_;  // held by sends and by the close of socket_
  std::atomic<bool> connected_{false};
  std::atomic<bool> lost_{false};  // the current connection is over
  std::atomic<bool> quit_{false};  // the program ends
  qmpTSession sender_;             // connection thread: the identity request
  qmpTBuffer identity_;
  qmpTBuffer received_;
};
