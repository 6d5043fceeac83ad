#include "manager/managertext.h"

#include <QStringList>
#include <QUtf8StringView>
#include <array>
#include <cstdio>
#include <vector>

namespace mgr {

namespace {

constexpr std::array<const char*, 6> kProtocolNames = {"ADMINd", "FTPd",  "HTTPd",
                                                       "IMAP4d", "POP3d", "SMTPd"};
constexpr std::array<const char*, 8> kStateNames = {"Allocating", "Allocated", "Running",
                                                    "Suspending", "Suspended", "Stopping",
                                                    "Stopped",    "Releasing"};

// Windows-1252 characters of the bytes 0x80-0x9f; the five unassigned bytes keep their
// Latin-1 control code.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString Name(int index, const auto& table) {
  if (index >= 0 && static_cast<size_t>(index) < table.size()) return table[index];
  return QString::number(index);
}

bool ToInt(const std::string& text, int* out) {
  bool ok = false;
  *out = QString::fromStdString(text).toInt(&ok);
  return ok;
}

std::vector<std::string> Split(const std::string& text, char at) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == at)
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

}  // namespace

QString ClockText(uint32_t msOfDay) {
  uint32_t s = msOfDay / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%2.2u:%2.2u:%2.2u", s / 3600, s / 60 % 60, s % 60);
  return text;
}

QString UptimeText(uint32_t seconds) {
  char text[40];
  std::snprintf(text, sizeof text, "%d/%2.2d:%2.2d:%2.2d", static_cast<int>(seconds / 86400),
                static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return text;
}

QString ProtocolName(int index) { return Name(index, kProtocolNames); }

QString StateName(int index) { return Name(index, kStateNames); }

QString DisplayText(const std::string& bytes) {
  if (QUtf8StringView(bytes.data(), bytes.size()).isValidUtf8())
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (unsigned char c : bytes)
    text += (c >= 0x80 && c < 0xA0) ? QChar(kCp1252High[c - 0x80]) : QChar(c);
  return text;
}

std::optional<std::pair<std::string, std::string>> StatusName(const std::string& name) {
  std::vector<std::string> parts = Split(name, '.');
  if (parts.size() != 5 || parts[0] != "qms" || parts[1] != "server" || parts[4] != "status")
    return std::nullopt;
  return std::make_pair(parts[2], parts[3]);
}

std::optional<ServiceStatus> ParseServiceStatus(const std::string& group,
                                                const std::string& service,
                                                const std::string& value) {
  std::vector<std::string> fields = Split(value, ' ');
  ServiceStatus s;
  int* numbers[] = {&s.groupIndex, &s.serviceIndex, &s.protocol, &s.state, &s.pool, &s.sessions};
  if (fields.size() != std::size(numbers)) return std::nullopt;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!ToInt(fields[i], numbers[i])) return std::nullopt;
  s.group = DisplayText(group);
  s.service = DisplayText(service);
  return s;
}

}  // namespace mgr
