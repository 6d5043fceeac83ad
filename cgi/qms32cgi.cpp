// qms32cgi: the CGI processor. The HTTP service starts it once per CGI request with
//
//   event stdin stdout stderr directory program [arguments...]
//
// where the three handles are descriptors it inherited. It runs the program in that
// directory with those descriptors as its standard input, output and error, waits for it,
// then posts the named semaphore "event" so the server knows no more output will come.
// Started by hand (fewer than six arguments) it shows its banner and halts.
#include <fcntl.h>
#include <semaphore.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "toolbox/names.h"

extern char** environ;

namespace {

// Halt 10003 as an 8-bit exit status (halts 10000-10099 become 100-199).
constexpr int kHaltRunDirectly = 10003;
constexpr int kExitRunDirectly = kHaltRunDirectly - 9900;

int Banner() {
  const char* line2 = "Quillmar/32 v0.9.5 CGI Processor";
  const char* tail2 = qms::kMakerNotice;
  std::printf("%s\n", std::string(78, '-').c_str());
  std::printf("%s%*s\n", line2, static_cast<int>(78 - std::strlen(line2)), tail2);
  std::printf("%s%*s\n", qms::kBuildId, static_cast<int>(78 - std::strlen(qms::kBuildId)),
              qms::kHomePageUrl);
  std::printf("\n");
  std::printf("qmsHalt #%d\n", kHaltRunDirectly);
  char server[32];
  std::snprintf(server, sizeof server, "qms%ssrv", "32");
  std::printf("- QMS component cannot be run directly, has to be called from: \"%s\"\n", server);
  std::fflush(stdout);
  return kExitRunDirectly;
}

// A handle number as given; anything else is an unusable descriptor.
int Handle(const char* text) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end || v < 0 || v > 1 << 20) return -1;
  return static_cast<int>(v);
}

// Moves a handle above the standard numbers, so that setting up 0, 1 and 2 in the program
// cannot overwrite another of the three.
int Lifted(int fd) {
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return -1;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  return high;
}

pid_t Start(const std::vector<std::string>& words, const int fds[3]) {
  std::vector<char*> argv;
  for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  for (int i = 0; i < 3; ++i) {
    if (fds[i] >= 0)
      posix_spawn_file_actions_adddup2(&fa, fds[i], i);
    else
      posix_spawn_file_actions_addclose(&fa, i);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) return Banner();
  const std::string eventName = std::string("/") + argv[1];
  sem_t* event = sem_open(eventName.c_str(), 0);
  int given[3] = {Handle(argv[2]), Handle(argv[3]), Handle(argv[4])};
  int fds[3];
  for (int i = 0; i < 3; ++i) fds[i] = Lifted(given[i]);
  for (int fd : given)
    if (fd > 2) close(fd);
  if (chdir(argv[5]) != 0) std::perror(argv[5]);
  // The program's arguments are re-joined with single blanks and split again at them.
  std::string joined;
  for (int i = 7; i < argc; ++i) joined += std::string(argv[i]) + " ";
  std::vector<std::string> words{argv[6]};
  for (size_t pos = 0; pos < joined.size();) {
    size_t end = joined.find(' ', pos);
    if (end > pos) words.push_back(joined.substr(pos, end - pos));
    pos = end + 1;
  }
  pid_t pid = Start(words, fds);
  // Only the program may hold the output pipe now: its end is the end of the output.
  for (int fd : fds)
    if (fd >= 0) close(fd);
  if (pid > 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (event != SEM_FAILED) {
    sem_post(event);
    sem_close(event);
  }
  return 0;
}
