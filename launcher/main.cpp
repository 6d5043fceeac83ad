#include <string>
#include <vector>

#include "launcher/launcher.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qmsTLauncher launcher;
  return launcher.Main(args);
}
