// Child processes that a session starts and must never lose: a program started in a
// process group of its own with chosen descriptors passed on under their own numbers, a
// pipe, and a named semaphore that the child posts. Part of the platform layer: nothing
// else calls the process or semaphore interfaces of the system.
//
// Threads: every object belongs to the thread that made it; the functions share no state.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace jvb {

// Starts program with args (argv[1..]) and exactly the environment env ("NAME=value"),
// as the leader of a new process group. The descriptors in keep stay open in the child
// under the same numbers; every other descriptor of ours is close-on-exec. The child's
// standard input and output are /dev/null, its standard error the descriptor errFd
// (or /dev/null when errFd is negative). Returns the pid or -1 with *err set.
pid_t SpawnGroup(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::vector<int>& keep, int errFd,
                 int* err);
// True once the child has ended (it is then reaped); never blocks.
bool ChildEnded(pid_t pid);
// Kills the child's whole process group (what the child left running in it as well) and
// reaps the child unless that was done already.
void KillGroupAndReap(pid_t pid, bool reaped);

// This process's id, and its working directory (empty when it cannot be read).
int ProcessId();
std::string WorkingDirectory();

// A pipe with both ends close-on-exec; false when the system has none left.
bool MakePipe(int& readFd, int& writeFd);

// A named semaphore created by us (exclusively, value 0) and removed again when the
// object ends, so that no name outlives the request it served.
class NamedSemaphore {
 public:
  NamedSemaphore() = default;
  ~NamedSemaphore() { Remove(); }
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;

  // name without the leading "/"; a stale semaphore of that name is replaced.
  bool Create(const std::string& name);
  // True when it was posted (one post is taken); never blocks.
  bool TryTake();
  void Remove();

 private:
  std::string name_;
  sem_t* sem_ = SEM_FAILED;
};

}  // namespace jvb
