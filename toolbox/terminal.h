// Operator keys on the server's own terminal. While the server runs, standard input is in
// raw mode (no echo, no line buffering; Ctrl-C still signals); it is restored on every exit
// path. Alt+letter arrives as ESC + letter, as letter | 0x80, or as that code point in UTF-8.
// Without a terminal on standard input no keys are read. Main thread only.
#pragma once

#include <string>

class jvbTKeyDecoder {
 public:
  // Feeds one byte; returns a lower-case letter when an Alt+letter is complete, else 0.
  // lone ESC followed by nothing is dropped by Flush().
  char Feed(unsigned char byte);
  void Flush() { state_ = 0; }
  bool Pending() const { return state_ != 0; }

 private:
  int state_ = 0;  // 0 idle, 1 after ESC, 2 inside CSI/SS3, 3 after UTF-8 lead C2/C3
  unsigned char lead_ = 0;
};

// Puts standard input into raw mode when it is a terminal; installs the restore routine
// for qmsHalt and the trap reports. Safe to call when stdin is not a terminal.
void jvbTerminalRaw();
void jvbTerminalRestore();
// Returns the next Alt+letter typed (lower case), or 0 when none is waiting.
int jvbReadAltKey();
