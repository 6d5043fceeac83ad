#include "console/consolescreen.h"

#include <curses.h>
#include <langinfo.h>
#include <signal.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "toolbox/names.h"
#include "toolbox/qmstools.h"

namespace {

constexpr int kFrameWidth = 80;  // five boxes of 16 columns
constexpr int kBoxWidth = 16;
constexpr int kBoxes = 5;
constexpr int kFrameTop = 1;  // rows 2-9 of the screen, 0-based
constexpr int kFrameRows = 8;
constexpr int kOutputTop = kFrameTop + kFrameRows;
constexpr size_t kHistory = 500;  // output lines kept for a redraw

enum Pair { kTitle = 1, kFrame, kGroup, kOutput };

std::atomic<bool> g_stop{false};
std::atomic<bool> g_active{false};
struct termios g_saved;
bool g_savedValid = false;
char g_leave[64] = "";  // the terminal's "leave full-screen" string, for fatal signals

int Attr(Pair p) {
  if (!has_colors()) {
    return p == kOutput ? A_NORMAL : p == kGroup ? (A_REVERSE | A_BOLD) : A_REVERSE;
  }
  int bold = (p == kTitle || p == kGroup) ? A_BOLD : 0;
  return COLOR_PAIR(p) | bold;
}

void RestoreForHalt() {
  if (g_active.exchange(false)) endwin();
}

void OnStop(int) { g_stop = true; }

void OnFatal(int sig) {
  // Only async-signal-safe calls: give the terminal back, then die of the same signal.
  if (g_active) {
    if (g_leave[0]) (void)!write(STDOUT_FILENO, g_leave, strlen(g_leave));
    if (g_savedValid) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

// A console text as screen characters: Latin-1 bytes, control bytes as blanks, and
// characters the terminal's encoding cannot show as "?".
std::wstring Visible(const std::string& text, bool utf8) {
  std::wstring out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      out += L' ';
    } else if (c >= 0x80 && !utf8) {
      out += L'?';
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

std::string Format(const char* format, auto... values) {
  char buf[128];
  snprintf(buf, sizeof buf, format, values...);
  return buf;
}

}  // namespace

bool qmsConsoleStopRequested() { return g_stop; }

void qmsConsoleSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction fatal {};
  fatal.sa_handler = OnFatal;
  sigemptyset(&fatal.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(s, &fatal, nullptr);
}

std::unique_ptr<qmsTConsoleScreen> qmsTConsoleScreen::Open() {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return nullptr;
  std::unique_ptr<qmsTConsoleScreen> s(new qmsTConsoleScreen());
  if (!s->Start()) return nullptr;
  return s;
}

bool qmsTConsoleScreen::Start() {
  g_savedValid = tcgetattr(STDIN_FILENO, &g_saved) == 0;
  fflush(stdout);
  screen_ = newterm(nullptr, stdout, stdin);
  if (!screen_) return false;
  set_term(screen_);
  g_active = true;
  qmsSetTerminalRestore(RestoreForHalt);
  const char* leave = tigetstr(const_cast<char*>("rmcup"));
  if (leave && leave != reinterpret_cast<char*>(-1)) {
    snprintf(g_leave, sizeof g_leave, "%s", leave);
  }
  const char* codeset = nl_langinfo(CODESET);
  utf8_ = codeset && strcmp(codeset, "UTF-8") == 0;
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, FALSE);  // Alt+letter arrives as raw bytes for the key decoder
  meta(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  curs_set(0);
  if (has_colors()) {
    start_color();
    init_pair(kTitle, COLOR_WHITE, COLOR_BLUE);
    init_pair(kFrame, COLOR_BLACK, COLOR_WHITE);
    init_pair(kGroup, COLOR_YELLOW, COLOR_GREEN);
    init_pair(kOutput, COLOR_WHITE, COLOR_BLACK);
  }
  Layout();
  return true;
}

qmsTConsoleScreen::~qmsTConsoleScreen() {
  if (out_) delwin(out_);
  if (g_active.exchange(false)) endwin();
  qmsSetTerminalRestore(nullptr);
  if (screen_) delscreen(screen_);
}

// --- layout ------------------------------------------------------------------------------

void qmsTConsoleScreen::Layout() {
  getmaxyx(stdscr, lines_, cols_);
  if (out_) delwin(out_);
  out_ = nullptr;
  if (lines_ > kOutputTop && cols_ > 0) {
    out_ = newwin(lines_ - kOutputTop, cols_, kOutputTop, 0);
  }
  if (out_) {
    wbkgdset(out_, static_cast<chtype>(' ') | Attr(kOutput));
    wattrset(out_, Attr(kOutput));
  }
  DrawAll();
}

void qmsTConsoleScreen::DrawAll() {
  wbkgdset(stdscr, ' ' | A_NORMAL);
  werase(stdscr);
  DrawTitle();
  DrawFrame();
  for (const auto& [group, title] : groups_) DrawGroup(group);
  for (const auto& [key, text] : services_) DrawService(key.first, key.second);
  DrawFigures();
  wnoutrefresh(stdscr);
  RedrawOutput();
}

bool qmsTConsoleScreen::GroupVisible(int group) const {
  int frame = std::min(cols_, kFrameWidth);
  return group >= 0 && group < kBoxes && (group + 1) * kBoxWidth <= frame;
}

// Writes text at (y, x), cut so that it ends before column limit and the screen's edge.
void qmsTConsoleScreen::Put(int y, int x, const std::string& text, int limit, int attr) {
  int room = std::min(limit, cols_) - x;
  if (y < 0 || y >= lines_ || x < 0 || room <= 0) return;
  std::wstring w = Visible(text, utf8_);
  if (static_cast<int>(w.size()) > room) w.resize(room);
  wattrset(stdscr, attr);
  mvwaddnwstr(stdscr, y, x, w.c_str(), static_cast<int>(w.size()));
}

void qmsTConsoleScreen::DrawTitle() {
  std::string title = std::string(qms::kProductTitle) + " Console";
  std::string text;
  if (cols_ >= kFrameWidth - 1) {
    text = Format(" %-39s%30s%9s", title.c_str(), "-[ Press Alt+H for help ]-", time_.c_str());
  } else {
    // Too narrow for the help hint: the title on the left, the time on the right.
    int room = std::max(0, cols_ - 1 - static_cast<int>(title.size()));
    text = Format(" %s%*s", title.c_str(), room, time_.c_str());
  }
  text.resize(std::max<size_t>(cols_, 0), ' ');
  Put(0, 0, text, cols_, Attr(kTitle));
}

void qmsTConsoleScreen::DrawFrame() {
  int frame = std::min(cols_, kFrameWidth);
  std::string blank(frame, ' ');
  for (int y = kFrameTop; y < kFrameTop + kFrameRows; ++y) Put(y, 0, blank, frame, Attr(kFrame));
  for (int box = 0; box < kBoxes && GroupVisible(box); ++box) {
    if (box == 0) {
      DrawBox(kFrameTop, 0, 3);
      DrawBox(kFrameTop + 3, 0, 5);
    } else {
      DrawBox(kFrameTop, box * kBoxWidth, kFrameRows);
    }
  }
}

void qmsTConsoleScreen::DrawBox(int top, int left, int height) {
  wattrset(stdscr, Attr(kFrame));
  int right = left + kBoxWidth - 1, bottom = top + height - 1;
  mvwhline(stdscr, top, left + 1, ACS_HLINE, kBoxWidth - 2);
  mvwhline(stdscr, bottom, left + 1, ACS_HLINE, kBoxWidth - 2);
  mvwvline(stdscr, top + 1, left, ACS_VLINE, height - 2);
  mvwvline(stdscr, top + 1, right, ACS_VLINE, height - 2);
  mvwaddch(stdscr, top, left, ACS_ULCORNER);
  mvwaddch(stdscr, top, right, ACS_URCORNER);
  mvwaddch(stdscr, bottom, left, ACS_LLCORNER);
  mvwaddch(stdscr, bottom, right, ACS_LRCORNER);
}

void qmsTConsoleScreen::DrawGroup(int group) {
  if (!GroupVisible(group)) return;
  int x = group * kBoxWidth + 1;
  Put(kFrameTop, x, groups_[group], x + kBoxWidth - 2, Attr(kGroup));
}

void qmsTConsoleScreen::DrawService(int group, int service) {
  if (!GroupVisible(group)) return;
  int x = group * kBoxWidth + 1;
  Put(kFrameTop + 1 + service, x, services_[{group, service}], x + kBoxWidth - 2, Attr(kFrame));
}

void qmsTConsoleScreen::DrawFigure(int row, const std::string& text) {
  if (!GroupVisible(0) || text.empty()) return;
  Put(row, 1, text, kBoxWidth - 1, Attr(kFrame));
}

void qmsTConsoleScreen::DrawFigures() {
  DrawFigure(5, uptime_);
  DrawFigure(6, memory_);
  DrawFigure(7, rates_);
}

// --- the output area ----------------------------------------------------------------------

void qmsTConsoleScreen::OutputRow(const std::wstring& row) {
  if (!out_) return;
  int height = getmaxy(out_);
  int y = outRow_;
  if (outRow_ < height) {
    ++outRow_;
  } else {
    scrollok(out_, TRUE);
    wscrl(out_, 1);
    scrollok(out_, FALSE);  // a row that fills the last column must not scroll again
    y = height - 1;
  }
  wmove(out_, y, 0);
  wclrtoeol(out_);
  waddnwstr(out_, row.c_str(), static_cast<int>(row.size()));
}

void qmsTConsoleScreen::RedrawOutput() {
  if (!out_) {
    doupdate();
    return;
  }
  werase(out_);
  outRow_ = 0;
  // The newest whole lines that fit are drawn again.
  size_t height = getmaxy(out_);
  std::deque<std::wstring> rows;
  for (auto it = history_.rbegin(); it != history_.rend(); ++it) {
    std::wstring w = Visible(*it, utf8_);
    std::deque<std::wstring> parts;
    for (size_t at = 0; at < w.size() || parts.empty(); at += cols_) {
      parts.push_back(w.substr(at, cols_));
    }
    if (rows.size() + parts.size() > height) break;
    rows.insert(rows.begin(), parts.begin(), parts.end());
  }
  for (const auto& r : rows) OutputRow(r);
  wnoutrefresh(out_);
  doupdate();
}

void qmsTConsoleScreen::Output(const std::string& line) {
  history_.push_back(line);
  if (history_.size() > kHistory) history_.pop_front();
  if (!out_) return;
  std::wstring w = Visible(line, utf8_);
  for (size_t at = 0; at < w.size() || at == 0; at += cols_) {
    OutputRow(w.substr(at, cols_));
    if (w.empty()) break;
  }
  wnoutrefresh(out_);
  doupdate();
}

// --- status -------------------------------------------------------------------------------

void qmsTConsoleScreen::SetTime(const std::string& time) {
  time_ = time;
  DrawTitle();
  Flush();
}

void qmsTConsoleScreen::SetUptime(int64_t seconds) {
  std::string up = Format("%d/%2.2d:%2.2d:%2.2d", static_cast<int>(seconds / 86400),
                          static_cast<int>(seconds / 3600 % 24),
                          static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  uptime_ = Format("Up%12s", up.c_str());
  DrawFigure(5, uptime_);
  Flush();
}

void qmsTConsoleScreen::SetMemory(int32_t bytes) {
  memory_ = Format("Mem%11d", bytes);
  DrawFigure(6, memory_);
  Flush();
}

void qmsTConsoleScreen::SetRates(int sent, int received) {
  rates_ = Format("B/s %5d%5d", sent, received);
  DrawFigure(7, rates_);
  Flush();
}

void qmsTConsoleScreen::SetService(int group, int service, const std::string& groupName,
                                   const std::string& serviceName, int pool, int sessions) {
  if (group < 0 || group > 5 || service < 0 || service > 5) return;
  // The management group's column shares its rows with the figures below its small box.
  if (group == 0 && service > 0) return;
  std::string name = serviceName.substr(0, 6);
  name.resize(6, ' ');
  groups_[group] = Format(" %1d %-10.10s", group, groupName.c_str());
  services_[{group, service}] = Format("%s %3d %3d", name.c_str(), pool, sessions);
  DrawGroup(group);
  DrawService(group, service);
  Flush();
}

void qmsTConsoleScreen::Flush() {
  wnoutrefresh(stdscr);
  if (out_) {
    touchwin(out_);  // the output area lies over stdscr
    wnoutrefresh(out_);
  }
  doupdate();
}

int qmsTConsoleScreen::ReadKey() {
  int letter = 0;
  bool any = false;
  for (int c; !letter && (c = wgetch(stdscr)) != ERR;) {
    any = true;
    if (c >= 0 && c <= 0xFF) letter = keys_.Feed(static_cast<unsigned char>(c));
  }
  if (!any) keys_.Flush();  // a lone ESC with nothing after it
  int height, width;
  getmaxyx(stdscr, height, width);
  if (height != lines_ || width != cols_) Layout();
  return letter;
}
