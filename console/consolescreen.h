// qmsTConsoleScreen: the console's full-screen display in curses. Row 1 is the title bar,
// rows 2-9 the status frame (a small and a five-row box in the left column, one eight-row
// box in each of the next four), the rest of the terminal the scrolling output area.
//
// The screen keeps what it shows (title time, figures, service rows, recent output lines),
// so that a change of the terminal's size redraws everything for the new size. The frame
// is at most 80 columns wide; a box that does not fit the terminal is left out, with the
// groups it would show, and every text is cut to its box, so nothing is ever drawn across
// a box edge or past the right margin.
//
// Owning the screen means owning the terminal: the constructor takes it over, the
// destructor gives it back. SIGINT, SIGTERM, SIGHUP and SIGQUIT only raise StopRequested();
// a fatal signal puts the terminal back before the process dies. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "toolbox/terminal.h"

typedef struct _win_st WINDOW;
typedef struct screen SCREEN;

class qmsTConsoleScreen {
 public:
  // Takes over the terminal on standard input and output; nullptr when they are not a
  // terminal (the console then stays in line mode).
  static std::unique_ptr<qmsTConsoleScreen> Open();
  ~qmsTConsoleScreen();
  qmsTConsoleScreen(const qmsTConsoleScreen&) = delete;
  qmsTConsoleScreen& operator=(const qmsTConsoleScreen&) = delete;

  // The title bar with the server's time "hh:nn:ss".
  void SetTime(const std::string& time);
  void SetUptime(int64_t seconds);
  void SetMemory(int32_t bytes);
  void SetRates(int sent, int received);
  // One service of the grid: its group's title and its row " name pool sessions".
  void SetService(int group, int service, const std::string& groupName,
                  const std::string& serviceName, int pool, int sessions);
  // One line in the output area (scrolls).
  void Output(const std::string& line);

  // Polls the keyboard (and the terminal's size): the lower-case letter of an Alt+letter
  // typed, or 0.
  int ReadKey();

 private:
  qmsTConsoleScreen() = default;
  bool Start();
  void Layout();
  void DrawAll();
  void DrawTitle();
  void DrawFrame();
  void DrawBox(int top, int left, int height);
  void DrawGroup(int group);
  void DrawService(int group, int service);
  void DrawFigure(int row, const std::string& text);
  void DrawFigures();
  void RedrawOutput();
  void OutputRow(const std::wstring& row);
  bool GroupVisible(int group) const;
  void Put(int y, int x, const std::string& text, int limit, int attr);
  void Flush();

  SCREEN* screen_ = nullptr;
  WINDOW* out_ = nullptr;
  int lines_ = 0, cols_ = 0;
  int outRow_ = 0;  // next free row of the output area until it scrolls
  bool utf8_ = false;
  jvbTKeyDecoder keys_;

  std::string time_;
  std::string uptime_, memory_, rates_;
  std::map<int, std::string> groups_;                    // group index -> title text
  std::map<std::pair<int, int>, std::string> services_;  // (group, service) -> row text
  std::deque<std::string> history_;
};

// True once SIGINT, SIGTERM, SIGHUP or SIGQUIT arrived.
bool qmsConsoleStopRequested();
// Installs the handlers for the stop signals (and ignores SIGPIPE).
void qmsConsoleSignals();
