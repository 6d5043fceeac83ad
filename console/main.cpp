// qms32con: the text console of the Quillmar/32 server.
#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/consolescreen.h"

int main(int argc, char** argv) {
  setlocale(LC_CTYPE, "");  // the terminal's character set, for the line-drawing characters
  qmsConsoleSignals();
  std::vector<std::string> args(argv + 1, argv + argc);
  auto console = std::make_unique<qmsTConsole>();
  return console->Run(args);
}
