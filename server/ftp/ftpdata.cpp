// The data side of qmsTFTPSession: PORT/EPRT and PASV/EPSV, the opening of the data
// connection, REST, and the transfers RETR, STOR and APPE with their figures, bandwidth
// cap, progress lines, ABOR polling and statistics. Sizes and offsets are 64-bit.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/ftp/ftpformat.h"
#include "server/ftp/ftpsession.h"
#include "server/users/user.h"
#include "server/users/userstat.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/textconfig.h"
#include "toolbox/timeutil.h"
#include "toolbox/transfer.h"

namespace {

constexpr int kLogChange = 2;
constexpr int kLogData = 32;
constexpr size_t kRecvBuffer = 256 * 1024;
// Longest blocking wait on the data connection before ABOR is looked for again.
constexpr int kIoWaitMs = 250;
constexpr int kConnectWaitMs = 15000;

// The passive port range, shared by every FTP session of the process.
std::atomic<int> g_passive_first{16384};
std::atomic<int> g_passive_count{16384};

std::string Q(const std::string& s) { return qmsQuoted(s); }
std::string Err(int e) { return " (" + std::to_string(e) + ")"; }

std::string Octets(uint32_t a) {
  return std::to_string(a >> 24) + "," + std::to_string((a >> 16) & 255) + "," +
         std::to_string((a >> 8) & 255) + "," + std::to_string(a & 255);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// PORT, EPRT, PASV, EPSV, REST

void qmsTFTPSession::cPORT(const std::string& command, const std::string& argument) {
  CloseData();
  uint32_t address = 0;
  uint16_t port = 0;
  const qmsftp::PortResult rc = command == "EPRT" ? qmsftp::ParseEprt(argument, address, port)
                                                  : qmsftp::ParsePort(argument, address, port);
  if (rc == qmsftp::prTooFew) {
    SendTxt("501a", command);
    return Log(command + " " + Q(argument) + ", not enough parameters", kLogData);
  }
  if (rc != qmsftp::prOk) {
    SendTxt("501a", command);
    return Log(command + " " + Q(argument) + ", invalid parameters", kLogData);
  }
  // A third party may receive data (FXP), but never on a privileged port.
  if (address != Socket()->PeerAddress() && port < 1024) {
    SendTxt("501a", command);
    return Log(command + " " + Q(argument) + ", invalid port for FXP", kLogData);
  }
  passive_.reset();
  port_given_ = true;
  port_address_ = address;
  port_port_ = port;
  SendTxt("200a", command);
  Log(command + " " + Q(argument) + ", ok", kLogData);
}

void qmsTFTPSession::cEPRT(const std::string& command, const std::string& argument) {
  cPORT(command, argument);
}

bool qmsTFTPSession::OpenPassive(const std::string& section) {
  // Every PASV listens afresh: a connection left over from a refused command must never
  // become the data connection of the next transfer.
  passive_.reset();
  std::string range;
  int first = g_passive_first, count = g_passive_count;
  if (Group()->Config()->ReadValue(Service()->Section(), "PassivePortRangeOverride", range) &&
      qmsftp::ParsePassiveRange(range, first, count)) {
    g_passive_first = first;
    g_passive_count = count;
  }
  const uint32_t local = Socket()->LocalAddress();
  std::mt19937 random(static_cast<unsigned>(jvb::MonotonicNs() ^ jvb::CurrentThreadId()));
  const int64_t deadline = jvb::MonotonicMs() + 1000;
  auto listener = std::make_unique<jvbTSocket>();
  for (;;) {
    const int port = first + static_cast<int>(random() % static_cast<unsigned>(count));
    if (listener->Bind(local, static_cast<uint16_t>(port)) == 0 && listener->Listen(1) == 0) break;
    listener->Close();
    if (Stopping() || jvb::MonotonicMs() > deadline) {
      SendTxt("425a", section);
      Log(section + " No available port found", kLogData);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  passive_ = std::move(listener);
  return true;
}

void qmsTFTPSession::cPASV(const std::string& command, const std::string&) {
  CloseData();
  if (!OpenPassive(command)) return;
  const int port = jvb::SocketLocalPort(passive_->Handle());
  if (command == "EPSV") {
    SendArg("229a", "EPSV", std::to_string(port));
    return Log("EPSV Ok", kLogData);
  }
  uint32_t address = Socket()->LocalAddress();
  std::string text;
  if (Group()->Config()->ReadValue(Service()->Section(), "PassiveAddressOverride", text)) {
    uint32_t over = 0;
    if (jvbTSocket::ParseDotted(text, &over)) address = over;
  }
  SendArg("227a", "PASV",
          Octets(address) + "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
  Log("PASV Ok", kLogData);
}

void qmsTFTPSession::cEPSV(const std::string& command, const std::string& argument) {
  cPASV(command, argument);
}

void qmsTFTPSession::cREST(const std::string&, const std::string& argument) {
  Log("REST " + Q(argument) + ", ok", kLogData);
  restart_ = std::max<int64_t>(0, qmsftp::ParseOffset(argument));
  SendTxt("350a", "REST");
}

// ---------------------------------------------------------------------------------------
// The data connection

void qmsTFTPSession::CloseData() {
  if (data_) data_->Close();
  data_.reset();
  port_given_ = false;
}

bool qmsTFTPSession::SetupDataConn() {
  if (passive_) {
    std::unique_ptr<jvbTSocket> listener = std::move(passive_);
    if (data_) data_->Close();
    data_.reset();
    const int64_t deadline = jvb::MonotonicMs() + kPassiveWaitMs;
    while (!Stopping() && jvb::MonotonicMs() < deadline) {
      if (listener->WaitReadable(250) != 1) continue;
      auto conn = std::make_unique<jvbTSocket>();
      if (listener->Accept(*conn) != 0) continue;
      // Only the client itself may take the data connection (no port theft).
      if (conn->PeerAddress() != Socket()->PeerAddress()) continue;
      data_ = std::move(conn);
      CountBytesOf(*data_);
      break;
    }
    return data_ != nullptr;
  }
  const uint32_t address = port_given_ ? port_address_ : Socket()->PeerAddress();
  const uint16_t port = port_given_ ? port_port_ : Socket()->PeerPort();
  port_given_ = false;
  auto conn = std::make_unique<jvbTSocket>();
  if (conn->ConnectFrom(Socket()->LocalAddress(), address, port, kConnectWaitMs) != 0) return false;
  data_ = std::move(conn);
  CountBytesOf(*data_);
  return true;
}

void qmsTFTPSession::PollAbort() {
  jvbTSocket* control = Socket();
  if (!control) return;
  const std::string waiting = control->Peek(kMaxLine);
  if (waiting.empty()) return;
  // Only whole lines are taken; an ABOR whose line end is still on its way (the urgent
  // byte of a Telnet synch may lag behind) is waited for briefly. Other commands sent
  // during a transfer are read and dropped.
  const bool whole = waiting.find('\n') != std::string::npos;
  if (!whole && jvb::AsciiUpper(waiting).find("ABOR") == std::string::npos) return;
  std::string line;
  if (control->ReadLine(line, kMaxLine, whole ? 250 : 1000, &terminate) >= 0 &&
      jvb::AsciiUpper(line).find("ABOR") != std::string::npos)
    abort_ = true;
  ResetIdle();
}

void qmsTFTPSession::UpdateFigures(int64_t size, bool retr) {
  const int64_t elapsed = transfer_timer_.ElapsedMs() / 1000;
  std::lock_guard<std::mutex> g(figures_lock_);
  rate_ = qmsftp::RateKB(bytes_done_, elapsed);
  if (!retr) return;
  percent_ = qmsftp::Percent(bytes_done_, size);
  if (bytes_done_ >= 1024) time_left_ = qmsftp::TimeLeft(bytes_done_, size, elapsed);
}

void qmsTFTPSession::SendFile(int fd, int64_t offset, int64_t size) {
  // Blocking sends bounded by a short time-out: the kernel moves large pieces without
  // waking the session, and a client that stops reading still lets ABOR be seen.
  if (!SecureData()) {
    abort_ = true;
    return;
  }
  const int dfd = data_->Handle();
  jvb::SetIoTimeout(dfd, kIoWaitMs);
  const size_t block = (bandwidth_ > 0 || xqms_) ? kBlockSize : kFastBlock;
  int64_t pos = offset;
  while (pos < size && !Stopping() && !abort_) {
    const int64_t n = data_->SendFileSome(fd, pos, std::min<int64_t>(block, size - pos));
    if (n <= 0) {
      if (n == -2) {
        PollAbort();
        continue;
      }
      if (n < 0) abort_ = true;  // the client went away: a short send
      break;
    }
    pos += n;
    Progress(n, size, true);
    while (bandwidth_ > 0 && !Stopping() && !abort_) {
      const int64_t ms = transfer_timer_.ElapsedMs();
      const int64_t kb = bytes_done_ / 1024;
      if ((ms < 1000 ? kb : kb / (ms / 1000)) < bandwidth_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      PollAbort();
    }
    if (xqms_) SendCmd("", "QMS RETR|0|" + std::to_string(bytes_done_) + "|");
    PollAbort();
  }
}

void qmsTFTPSession::Progress(int64_t n, int64_t size, bool retr) {
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    bytes_done_ += n;
  }
  ResetIdle();
  UpdateFigures(size, retr);
}

bool qmsTFTPSession::ReceiveFile(int fd, int64_t offset, const std::string& command) {
  if (!SecureData()) {
    hook_result_ = EPROTO;
    return false;
  }
  std::vector<char> buf(kRecvBuffer);
  const int dfd = data_->Handle();
  jvb::SetIoTimeout(dfd, kIoWaitMs);
  int64_t pos = offset;
  bool ok = true;
  while (!Stopping() && !abort_) {
    const int64_t n = data_->RecvFull(buf.data(), buf.size());
    if (n == -2) {
      PollAbort();
      continue;
    }
    if (n <= 0) break;  // the end of the data, or a broken connection
    if (!jvb::WriteAt(fd, buf.data(), static_cast<size_t>(n), pos)) {
      hook_result_ = errno;
      ok = false;
      break;
    }
    pos += n;
    Progress(n, 0, false);
    if (xqms_) SendCmd("", "QMS " + command + "|0|" + std::to_string(bytes_done_) + "|");
    PollAbort();
  }
  return ok;
}

void qmsTFTPSession::RetrStats() {
  qmsTUser* u = User();
  const uint32_t kb = static_cast<uint32_t>(bytes_done_ / 1024);
  for (Tqms_user* s : {&u->Stat(), &u->SessionStat()}) {
    if (s == &u->Stat() && !u->OpenStat()) continue;
    s->Add(Tqms_user::ftpSentKB, kb);
    s->Add(Tqms_user::ftpSent, 1);
    s->Raise(Tqms_user::ftpSentRate, static_cast<uint32_t>(rate_));
    if (s == &u->Stat()) u->CloseStat();
  }
}

void qmsTFTPSession::StorStats(int64_t size) {
  qmsTUser* u = User();
  const uint32_t kb = static_cast<uint32_t>(size / 1024);
  for (Tqms_user* s : {&u->Stat(), &u->SessionStat()}) {
    if (s == &u->Stat() && !u->OpenStat()) continue;
    s->Add(Tqms_user::ftpRecvKB, kb);
    s->Add(Tqms_user::ftpRecv, 1);
    s->Raise(Tqms_user::ftpRecvRate, static_cast<uint32_t>(rate_));
    if (s == &u->Stat()) u->CloseStat();
  }
}

// ---------------------------------------------------------------------------------------
// RETR, STOR, APPE

namespace {

// A file descriptor closed at scope end.
struct FileHandle {
  int fd = -1;
  ~FileHandle() {
    if (fd >= 0) jvb::CloseFile(fd);
  }
};

}  // namespace

void qmsTFTPSession::cRETR(const std::string&, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  if (v.empty() || !Has(Rights(real), arRead)) {
    SendTxt("550b", "RETR");
    return Log("RETR " + Q(argument) + ", no access", kLogChange);
  }
  std::string hook, output;
  Group()->Config()->ReadString(hook, Service()->Section(), "hookOnRetr");
  if (!hook.empty() && (hook_result_ = CallHook(output, hook)) >= 1) {
    SendHookReply(output);
    return Log("RETR " + Q(argument) + ", rejected by RexxHook", kLogChange);
  }
  jvb::RootDir root;
  std::string rel;
  FileHandle file;
  struct stat st {};
  int err = ENOENT;
  if (FileSys().Resolve(v, root, rel))
    file.fd = jvb::OpenShared(root, rel, jvb::fmReadDenyWrite, 1000, &err, &st);
  const int64_t offset = restart_;
  restart_ = 0;
  if (file.fd < 0) {
    hook_result_ = err;
    SendTxt("450a", "RETR");
    return Log("RETR " + Q(argument) + ", cannot open file" + Err(err), kLogChange);
  }
  if (!SetupDataConn()) {
    SendTxt("425a", "RETR");
    return Log("RETR " + Q(argument) + ", unable to open data connection", kLogChange);
  }
  const int64_t size = st.st_size;
  SendArg("150a", "RETR", argument, std::to_string(size));
  Log("RETR " + Q(argument) + ", sending", kLogChange);
  Status = stRetr;
  abort_ = false;
  transfer_timer_.Reset();
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    bytes_done_ = 0;
    transfer_size_ = size;
    time_left_ = rate_ = percent_ = 0;
  }
  if (xqms_)
    SendCmd("", "QMS RETR|1|" + std::to_string(size) + "|" + qmsftp::Stamp14(st.st_mtime) + "|");
  SendFile(file.fd, std::min(offset, size), size);
  const int64_t elapsed = transfer_timer_.ElapsedMs() / 1000;
  RetrStats();
  CloseData();
  SendTxt(abort_ ? "426a" : "226a", "RETR");
  Log("RETR " + std::to_string(bytes_done_ / 1024) + "kB in " + std::to_string(elapsed) +
          "sec(s) at " + std::to_string(rate_) + "kB/s" + (abort_ ? ", aborted" : ""),
      kLogChange);
  Status = stLoggedIn;
}

namespace {

// Opens the upload target beneath root: APPE and restarted STOR keep what is there (cut at
// the offset), a plain STOR replaces it once no one else holds it. Returns the position to
// write at, or -1 with the reply's log text in why.
int64_t OpenUpload(const jvb::RootDir& root, const std::string& rel, bool append, int64_t offset,
                   int& fd, int& err, std::string& why) {
  struct stat st {};
  if (append || offset > 0) {
    fd = jvb::OpenShared(root, rel, jvb::fmReadWriteExclusive, 1000, &err, &st);
    if (fd < 0 && append && err == ENOENT)
      fd = jvb::CreateShared(root, rel, jvb::fmReadWriteExclusive, 1000, false, 0644, &err, &st);
    if (fd < 0) {
      why = append ? ", cannot create file" : ", cannot open file";
      return -1;
    }
    if (offset > st.st_size || (offset > 0 && !jvb::TruncateAt(fd, offset))) {
      err = offset > st.st_size ? EINVAL : errno;
      why = ", cannot open file";
      return -1;
    }
    return offset > 0 ? offset : st.st_size;
  }
  fd = jvb::CreateShared(root, rel, jvb::fmReadWriteExclusive, 1000, true, 0644, &err, &st);
  if (fd < 0) why = ", cannot create file";
  return fd < 0 ? -1 : 0;
}

// Free bytes where an upload goes: its folder may be another file system mounted below the
// root of the virtual path, so the root's own figure can be far off.
int64_t FreeBytesFor(const jvb::RootDir& root, const std::string& rel) {
  const size_t slash = rel.find_last_of('/');
  FileHandle dir;
  if (slash != std::string::npos && slash > 0)
    dir.fd = root.OpenBeneath(rel.substr(0, slash), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return jvb::FreeDiskBytes(dir.fd >= 0 ? dir.fd : root.fd());
}

}  // namespace

void qmsTFTPSession::cSTOR(const std::string& command, const std::string& argument) {
  const std::string v = Virtual(argument);
  const std::string real = Real(v);
  SetCurPath(real);
  const int64_t offset = restart_;
  restart_ = 0;
  jvb::RootDir root;
  std::string rel;
  struct stat st {};
  const bool resolved = !v.empty() && FileSys().Resolve(v, root, rel);
  const bool exists = resolved && root.StatBeneath(rel, st, false);
  const int rights = Rights(real);
  if (!resolved || !(Has(rights, arWrite | arLimit1) || (Has(rights, arWrite) && !exists))) {
    SendTxt("550b", command);
    return Log(command + " " + Q(argument) + ", no access", kLogChange);
  }
  std::string hook, output;
  Group()->Config()->ReadString(hook, Service()->Section(), "hookOnStor");
  if (!hook.empty() && (hook_result_ = CallHook(output, hook)) >= 1) {
    SendHookReply(output);
    return Log(command + " " + Q(argument) + ", rejected by RexxHook", kLogChange);
  }
  const int64_t freeBytes = FreeBytesFor(root, rel);
  if (freeBytes >= 0 && freeBytes / 1048576 < min_free_space_) {
    SendTxt("452a", command);
    return Log(command + " " + Q(argument) + ", no available space", kLogChange);
  }
  FileHandle file;
  int err = 0;
  std::string why;
  const int64_t pos = OpenUpload(root, rel, command == "APPE", offset, file.fd, err, why);
  if (pos < 0) {
    hook_result_ = err;
    SendTxt("450a", command);
    return Log(command + " " + Q(argument) + why + Err(err), kLogChange);
  }
  if (!SetupDataConn()) {
    SendTxt("425a", command);
    return Log(command + " " + Q(argument) + ", unable to open data connection", kLogChange);
  }
  SendArg("150a", command, argument);
  Log(command + " " + Q(argument) + ", receiving", kLogChange);
  Status = stStor;
  abort_ = false;
  transfer_timer_.Reset();
  {
    std::lock_guard<std::mutex> g(figures_lock_);
    bytes_done_ = 0;
    transfer_size_ = pos;
    rate_ = 0;
  }
  const bool written = ReceiveFile(file.fd, pos, command);
  const int64_t elapsed = transfer_timer_.ElapsedMs() / 1000;
  jvb::FileInfo info;
  const int64_t size = jvb::GetFileInfo(file.fd, info) ? info.size : pos + bytes_done_;
  StorStats(size);
  CloseData();
  if (!written) {
    // A full disk is never reported as a finished upload.
    SendTxt("451a", command);
    Log(command + " " + Q(argument) + ", write error" + Err(hook_result_), kLogChange);
  } else {
    SendTxt("226a", command);
  }
  Log(command + " " + std::to_string(size / 1024) + " kB in " + std::to_string(elapsed) +
          " sec(s) at " + std::to_string(rate_) + "kB/s",
      kLogChange);
  Status = stLoggedIn;
}
