#include "toolbox/childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace jvb {

namespace {

// Child environment and argument vectors point into the caller's strings.
std::vector<char*> Pointers(const std::string* first, const std::vector<std::string>& rest) {
  std::vector<char*> out;
  if (first) out.push_back(const_cast<char*>(first->c_str()));
  for (const auto& s : rest) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

pid_t SpawnGroup(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::vector<int>& keep, int errFd,
                 int* err) {
  std::vector<char*> argv = Pointers(&program, args);
  std::vector<char*> envp = Pointers(nullptr, env);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // A descriptor duplicated onto itself loses its close-on-exec flag in the child only.
  for (int fd : keep) posix_spawn_file_actions_adddup2(&fa, fd, fd);
  auto reopen = [&](int target, int flags) {
    for (int fd : keep)
      if (fd == target) return;  // a passed descriptor that happens to be 0, 1 or 2
    posix_spawn_file_actions_addopen(&fa, target, "/dev/null", flags, 0);
  };
  reopen(0, O_RDONLY);
  reopen(1, O_WRONLY);
  if (errFd >= 0 && errFd != 2)
    posix_spawn_file_actions_adddup2(&fa, errFd, 2);
  else if (errFd < 0)
    reopen(2, O_WRONLY);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (err) *err = rc;
    return -1;
  }
  return pid;
}

bool ChildEnded(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  return r == pid || (r < 0 && errno == ECHILD);
}

void KillGroupAndReap(pid_t pid, bool reaped) {
  if (pid <= 0) return;
  ::kill(-pid, SIGKILL);
  if (reaped) return;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int ProcessId() { return static_cast<int>(::getpid()); }

std::string WorkingDirectory() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool MakePipe(int& readFd, int& writeFd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readFd = fds[0];
  writeFd = fds[1];
  return true;
}

bool NamedSemaphore::Create(const std::string& name) {
  Remove();
  const std::string full = "/" + name;
  sem_t* s = ::sem_open(full.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (s == SEM_FAILED && errno == EEXIST) {
    ::sem_unlink(full.c_str());
    s = ::sem_open(full.c_str(), O_CREAT | O_EXCL, 0600, 0);
  }
  if (s == SEM_FAILED) return false;
  sem_ = s;
  name_ = full;
  return true;
}

bool NamedSemaphore::TryTake() { return sem_ != SEM_FAILED && ::sem_trywait(sem_) == 0; }

void NamedSemaphore::Remove() {
  if (sem_ == SEM_FAILED) return;
  ::sem_close(sem_);
  ::sem_unlink(name_.c_str());
  sem_ = SEM_FAILED;
  name_.clear();
}

}  // namespace jvb
