// The text steps of applications and forms: settings, the CGI environment, a program's
// status line, query values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/http/httpadmin.h"
#include "server/http/httpcgi.h"

TEST(HTTPApp, ApplicationSettingsNameTheirKind) {
  qmsTHTTPAppCommand s = qmsParseAppCommand("dll: qmsexample.so extra");
  EXPECT_EQ(s.kind, qmsTHTTPAppCommand::kPlugin);
  EXPECT_EQ(s.program, "qmsexample.so");
  EXPECT_EQ(qmsParseAppCommand("REXX: anything").kind, qmsTHTTPAppCommand::kRexx);
  s = qmsParseAppCommand(" perl -w  -T ");
  EXPECT_EQ(s.kind, qmsTHTTPAppCommand::kProgram);
  EXPECT_EQ(s.program, "perl");
  EXPECT_EQ(s.rest, "-w  -T");
}

TEST(HTTPApp, EnvironmentLeavesOutEmptyValuesProxyAndInternalNames) {
  qmsTCGIEnvironment env;
  env.Add("AUTH_TYPE", "");
  env.Add("CONTENT-LENGTH", "10");
  env.AddHeaders({{"USER-AGENT", "curl"},
                  {"PROXY", "http://evil"},
                  {"X=Y", "1"},
                  {"X-SOME-THING", "42"},
                  {"BAD NAME", "1"}});
  char a[] = "PATH=/bin", b[] = "QMS_DNS_SERVER=1.2.3.4", c[] = "HTTP_PROXY=x",
       d[] = "QUERY_STRING=old", e[] = "CONTENT_LENGTH=99";
  char* server[] = {a, b, c, d, e, nullptr};
  env.AddServerEnvironment(server);
  EXPECT_EQ(env.Strings(), (std::vector<std::string>{"CONTENT_LENGTH=10", "HTTP_USER_AGENT=curl",
                                                     "HTTP_X_SOME_THING=42", "PATH=/bin"}));
}

TEST(HTTPApp, StatusLineOfTheProgramsHeaderBlock) {
  std::string block = "Content-Type: text/plain\nStatus: 404 Not here\n\n";
  EXPECT_EQ(qmsCGIHeaderEnd(block + "body"), block.size());
  EXPECT_EQ(qmsCGIHeaderEnd("Content-Type: x\r\n"), 0u);
  std::string text;
  int status = 0;
  ASSERT_TRUE(qmsCGIStatus(block, text, status));
  EXPECT_EQ(status, 404);
  EXPECT_EQ(text, "404 Not here");
  EXPECT_EQ(block, "Content-Type: text/plain\n\n");
  for (const char* bad : {"Status: abc\n\n", "Status: 99\n\n", "Status: 2000\n\n", "X: 1\n\n"}) {
    std::string b = bad;
    EXPECT_FALSE(qmsCGIStatus(b, text, status)) << bad;
    EXPECT_EQ(b, bad);
  }
}

TEST(HTTPApp, QueriesKeepTheirCodingUntilSplit) {
  EXPECT_EQ(qmsRawQuery("GET /a.sh?x=1%262&y HTTP/1.1"), "x=1%262&y");
  EXPECT_EQ(qmsRawQuery("GET /a.sh HTTP/1.1"), "");
  std::string v;
  const std::string q = "pg=ae&us=a+b&Password=x%26y&Password=z&e=&fn=..%2Fx%";
  ASSERT_TRUE(qmsQueryValue(q, 0, "us", v));
  EXPECT_EQ(v, "a b");
  ASSERT_TRUE(qmsQueryValue(q, 1, "Password", v));
  EXPECT_EQ(v, "z");
  ASSERT_TRUE(qmsQueryValue(q, 0, "Password", v));
  EXPECT_EQ(v, "x&y");
  ASSERT_TRUE(qmsQueryValue(q, 0, "fn", v));
  EXPECT_EQ(v, "../x%");
  EXPECT_TRUE(qmsQueryValue(q, 0, "e", v) && v.empty());
  EXPECT_FALSE(qmsQueryValue(q, 2, "Password", v));
}

TEST(HTTPAdmin, FragmentsEscapeWhatTheyInsert) {
  EXPECT_EQ(
      qmsTHTTPAdmin::IText("Fullname", "\"><b>", 40),
      "<input type=\"text\" name=\"Fullname\" id=\"f-Fullname\" value=\"&quot;&gt;&lt;b&gt;\" "
      "size=\"40\">");
  EXPECT_EQ(qmsTHTTPAdmin::ISelect("fn", {"a.log", "<x>"}, "<x>"),
            "<select name=\"fn\" aria-label=\"fn\"><option value=\"a.log\">a.log</option>"
            "<option value=\"&lt;x&gt;\" selected>&lt;x&gt;</option></select>");
  EXPECT_EQ(qmsTHTTPAdmin::TD({"a", ""}), "<tr><td>a</td><td>&#160;</td></tr>\n");
  EXPECT_EQ(qmsTHTTPAdmin::H(2, "x"), "<h2>x</h2>");
}
