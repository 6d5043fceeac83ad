// The request parser and the document cache of the HTTP service, fed directly.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/core/servicecache.h"
#include "server/http/httprequest.h"

TEST(HTTPRequest, RequestLinesSplitDecodeAndClassify) {
  struct Case {
    const char* line;
    int method, version;
    const char* uri;
    const char* query;
    bool bad;
  } cases[] = {
      {"GET /a%20b.html?x=%41&y HTTP/1.1", hmGET, hv11, "/a b.html", "x=A&y", false},
      {"head / http/1.0", hmHEAD, hv10, "/", "", false},
      {"GET /", hmGET, hvOther, "/", "", false},
      {"OPTIONS * HTTP/1.1", hmOPTIONS, hv11, "*", "", false},
      {"BREW /pot HTTP/0.9", hmOther, hv09, "/pot", "", false},
      {"GET /x.txt%00.gif HTTP/1.1", hmGET, hv11, std::string("/x.txt\0.gif", 11).c_str(), "",
       true},
      {"GET /a%0d%0ab HTTP/1.1", hmGET, hv11, "/a\r\nb", "", true},
      {"GET /%2e%2e/%zz%4 HTTP/1.1", hmGET, hv11, "/../%zz%4", "", false},
      {"GET /q%3fa=1 HTTP/1.1", hmGET, hv11, "/q", "a=1", false},
  };
  for (const Case& c : cases) {
    qmsTHTTPRequest r;
    qmsParseRequestLine(c.line, r);
    EXPECT_EQ(r.methodCode, c.method) << c.line;
    EXPECT_EQ(r.versionCode, c.version) << c.line;
    if (!c.bad) {
      EXPECT_EQ(r.uri, c.uri) << c.line;
    }
    EXPECT_EQ(r.query, c.query) << c.line;
    EXPECT_EQ(r.badPath, c.bad) << c.line;
    EXPECT_EQ(r.line, c.line);
  }
}

TEST(HTTPRequest, HeadersAreNamedUpperCaseAndBounded) {
  qmsTHTTPRequest r;
  EXPECT_TRUE(r.AddHeaderLine("Host:  example.test  "));
  EXPECT_TRUE(r.AddHeaderLine(": no name"));
  EXPECT_TRUE(r.AddHeaderLine(" \t : blanks are no name"));
  EXPECT_TRUE(r.AddHeaderLine("garbage"));
  EXPECT_TRUE(r.AddHeaderLine("x-Thing:a:b"));
  ASSERT_NE(r.Header("HOST"), nullptr);
  EXPECT_EQ(*r.Header("HOST"), "example.test");
  EXPECT_EQ(*r.Header("X-THING"), "a:b");
  EXPECT_EQ(r.headers.size(), 2u);

  qmsTHTTPRequest many;
  size_t accepted = 0;
  while (many.AddHeaderLine("A: b")) ++accepted;
  EXPECT_EQ(accepted, kHTTPMaxHeaders);
  qmsTHTTPRequest big;
  const std::string line = "A: " + std::string(1000, 'x');
  accepted = 0;
  while (big.AddHeaderLine(line)) ++accepted;
  EXPECT_LE(accepted * line.size(), kHTTPMaxHeaderBytes);
  r.Clear();
  EXPECT_EQ(r.Header("HOST"), nullptr);
}

TEST(HTTPRequest, CredentialsLengthsAndEscapes) {
  std::string user, password;
  ASSERT_TRUE(qmsBasicCredentials("Basic dXNlcjpzZWNyZXQ6bW9yZQ==", user, password));
  EXPECT_EQ(user, "user");
  EXPECT_EQ(password, "secret");
  EXPECT_FALSE(qmsBasicCredentials("Basic !!!", user, password));
  EXPECT_FALSE(qmsBasicCredentials("Basic", user, password));
  EXPECT_FALSE(qmsBasicCredentials("Basic bm9jb2xvbg==", user, password));  // "nocolon"

  EXPECT_EQ(qmsContentLength("0", 100), 0);
  EXPECT_EQ(qmsContentLength("100", 100), 100);
  EXPECT_EQ(qmsContentLength("101", 100), -2);
  EXPECT_EQ(qmsContentLength("99999999999999999999999", 100), -2);
  EXPECT_EQ(qmsContentLength("-5", 100), -1);
  EXPECT_EQ(qmsContentLength("1e3", 100), -1);
  EXPECT_EQ(qmsContentLength("", 100), -1);

  EXPECT_EQ(qmsURLEncodePath("/a b/<c>&%.txt"), "/a%20b/%3Cc%3E%26%25.txt");
  EXPECT_EQ(qmsHTMLEscape("<a href=\"x\">&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(qmsHTTPDate(1041964200), "Tue, 07 Jan 2003 18:30:00 GMT");
}

TEST(HTTPDocumentCache, SharesBodiesChecksStampsAndAges) {
  qmsTServiceCache cache;
  cache.SetMaxCount(4);
  auto body = std::make_shared<const std::string>("document");
  cache.AddShared(7, body, "/a");
  qmsTServiceCache::Content got;
  ASSERT_TRUE(cache.FindShared("/a", 7, got));
  EXPECT_EQ(got.get(), body.get());  // the same bytes, not a copy
  EXPECT_FALSE(cache.FindShared("/a", 8, got));
  uint64_t stamp = 0;
  ASSERT_TRUE(cache.FindRecent("/a", 60000, stamp, got));
  EXPECT_EQ(stamp, 7u);
  EXPECT_FALSE(cache.FindRecent("/a", -1, stamp, got));
  EXPECT_FALSE(cache.FindRecent("/missing", 60000, stamp, got));

  // Evicted entries stay valid for whoever still sends them.
  for (int i = 0; i < 8; ++i)
    cache.AddShared(1, std::make_shared<const std::string>(std::string(10, 'x')),
                    "/f" + std::to_string(i));
  EXPECT_EQ(cache.Count(), 4u);
  EXPECT_EQ(*got, "document");
  EXPECT_TRUE(cache.FindShared("/a", 7, got));  // read documents outlive unread ones
  EXPECT_EQ(cache.Total(), 8 + 3 * 10);
  std::string copy;
  EXPECT_TRUE(cache.FindDocument("/f7", 1, copy));
  EXPECT_EQ(copy, std::string(10, 'x'));
}
