#include "toolbox/terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "toolbox/qmstools.h"

namespace {

struct termios g_saved;
std::atomic<bool> g_raw{false};
jvbTKeyDecoder g_decoder;

char Letter(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
  if (c >= 'a' && c <= 'z') return static_cast<char>(c);
  return 0;
}

}  // namespace

char jvbTKeyDecoder::Feed(unsigned char b) {
  switch (state_) {
    case 1:  // after ESC
      if (b == '[' || b == 'O') {
        state_ = 2;
        return 0;
      }
      state_ = 0;
      if (b == 0x1B) {
        state_ = 1;
        return 0;
      }
      return Letter(b);
    case 2:  // CSI / SS3: parameters until a final byte 0x40-0x7E
      if (b >= 0x40 && b <= 0x7E) state_ = 0;
      return 0;
    case 3: {  // UTF-8 second byte of U+0080..U+00FF
      state_ = 0;
      unsigned cp = ((lead_ & 0x1F) << 6) | (b & 0x3F);
      return cp >= 0xC0 ? Letter(static_cast<unsigned char>(cp & 0x7F)) : 0;
    }
    default:
      if (b == 0x1B) {
        state_ = 1;
        return 0;
      }
      if (b == 0xC3 || b == 0xC2) {
        state_ = 3;
        lead_ = b;
        return 0;
      }
      if (b >= 0xC1 && b <= 0xFA) return Letter(static_cast<unsigned char>(b & 0x7F));
      return 0;
  }
}

void jvbTerminalRestore() {
  if (g_raw.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

void jvbTerminalRaw() {
  if (!isatty(STDIN_FILENO) || g_raw) return;
  if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
  struct termios raw = g_saved;
  raw.c_lflag &= ~(ICANON | ECHO);  // ISIG stays: Ctrl-C still stops the server in order
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
    g_raw = true;
    qmsSetTerminalRestore(jvbTerminalRestore);
  }
}

int jvbReadAltKey() {
  if (!g_raw) return 0;
  for (;;) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    // A lone ESC waits briefly for its letter.
    int wait = g_decoder.Pending() ? 50 : 0;
    if (poll(&p, 1, wait) <= 0) {
      g_decoder.Flush();
      return 0;
    }
    unsigned char b;
    if (read(STDIN_FILENO, &b, 1) != 1) return 0;
    if (char c = g_decoder.Feed(b)) return c;
  }
}
