// Texts the manager shows, made from values that arrive in packets. Pure functions without
// widgets, callable from any thread.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace mgr {

// Server time stamp (milliseconds since midnight) as "hh:nn:ss".
QString ClockText(uint32_t msOfDay);
// Seconds as "days/hh:nn:ss".
QString UptimeText(uint32_t seconds);
// Names by the numbers of a service status; a number outside the table shows as itself.
QString ProtocolName(int index);
QString StateName(int index);
// Server text for the screen: valid UTF-8 as it is, anything else as Windows-1252.
QString DisplayText(const std::string& bytes);

// One service status message: group and service from the value's name, the six numbers
// from its text.
struct ServiceStatus {
  QString group;
  QString service;
  int groupIndex = 0;
  int serviceIndex = 0;
  int protocol = 0;
  int state = 0;
  int pool = 0;
  int sessions = 0;
};

// The group and service of a value name "qms.server.<group>.<service>.status"; nullopt
// for any other name.
std::optional<std::pair<std::string, std::string>> StatusName(const std::string& name);
// The status of a service from its value text "%d %d %d %d %d %d"; nullopt when the text
// does not hold exactly six numbers.
std::optional<ServiceStatus> ParseServiceStatus(const std::string& group,
                                                const std::string& service,
                                                const std::string& value);

}  // namespace mgr
