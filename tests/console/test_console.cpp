// The console's command line and the service status names and values it reads.
#include <gtest/gtest.h>

#include "console/console.h"

TEST(ConsoleOptions, OptionsTakeTheRestOfTheirArgument) {
  auto o = qmsTConsoleOptions::Parse({"/p", "10.0.0.1", "-tlog/", "192.168.1.1"});
  EXPECT_TRUE(o.hasPassword);
  EXPECT_EQ(o.password, "");  // an empty password is given, not read from the file
  EXPECT_EQ(o.address, "10.0.0.1");
  EXPECT_TRUE(o.trace);
  EXPECT_EQ(o.tracePath, "log/");
  EXPECT_FALSE(o.usage);
  EXPECT_FALSE(o.empty);
  EXPECT_TRUE(qmsTConsoleOptions::Parse({"-?"}).usage);
  EXPECT_TRUE(qmsTConsoleOptions::Parse({"/H"}).usage);
  EXPECT_TRUE(qmsTConsoleOptions::Parse({}).empty);
  EXPECT_EQ(qmsTConsoleOptions::Parse({"-psecret word"}).password, "secret word");
}

TEST(ConsoleOptions, AddressWithAndWithoutPort) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t address;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001, 4321},
      {"10.1.2.3:5000", true, 0x0A010203, 5000},
      {"127.0.0.1:0", false, 0, 0},
      {"127.0.0.1:65536", false, 0, 0},
      {"127.0.0.1:", false, 0, 0},
      {"127.0.0.1:-5", false, 0, 0},
      {"localhost", false, 0, 0},
      {"1.2.3", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t address = 0;
    uint16_t port = 4321;
    EXPECT_EQ(qmsParseConsoleAddress(c.text, &address, &port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

TEST(ConsoleStatus, NamesAndValuesOfServiceStatus) {
  struct Case {
    const char* name;
    const char* value;
    bool ok;
    const char* group;
    const char* service;
  } cases[] = {
      {"qms.server..ADMIN.status", "0 0 0 2 0 1", true, "", "ADMIN"},
      {"qms.server.default.SMTP.status", "1 2 5 2 4 0", true, "default", "SMTP"},
      {"qms.server.my.site.FTP.status", "2 0 1 2 4 0", true, "my.site", "FTP"},
      {"qms.server.default.SMTP.status", "1 2 5 2 4", false, "", ""},
      {"qms.server.default.SMTP.status", "1 2 5 2 4 x", false, "", ""},
      {"qms.server.default.SMTP.status", "1 2 5 2 4 -1", false, "", ""},
      {"qms.server.default.SMTP.status", "1  2 5 2 4 0", false, "", ""},
      {"qms.server.SMTP.status", "1 2 5 2 4 0", false, "", ""},
      {"qms.console.output", "text", false, "", ""},
      {"other.server.a.b.status", "1 2 5 2 4 0", false, "", ""},
  };
  for (const auto& c : cases) {
    qmsTServiceStatus s;
    EXPECT_EQ(qmsParseServiceStatus(c.name, c.value, s), c.ok) << c.name << " " << c.value;
    if (c.ok) {
      EXPECT_EQ(s.group, c.group);
      EXPECT_EQ(s.service, c.service);
    }
  }
  qmsTServiceStatus s;
  ASSERT_TRUE(qmsParseServiceStatus("qms.server.default.POP3.status", "1 3 4 2 7 9", s));
  EXPECT_EQ(s.groupIndex, 1);
  EXPECT_EQ(s.serviceIndex, 3);
  EXPECT_EQ(s.protocol, 4);
  EXPECT_EQ(s.state, 2);
  EXPECT_EQ(s.pool, 7);
  EXPECT_EQ(s.sessions, 9);
}
