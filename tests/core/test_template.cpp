#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <random>
#include <string>

#include "server/core/template.h"

namespace {

// A fixed variable table standing in for a session's GetVars.
class TemplateTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> vars{
      {"vers", "0.9.5"},     {"time", "12:34:56"}, {"usr.username", "bob"},
      {"evil", "%(secret)"}, {"secret", "s3cr3t"}, {"pct", "50%"},
      {"paren", "(secret)"}, {"empty", ""},        {"width", "-4"},
  };
  int lookups = 0;
  qmsTTemplateVars get = [this](const std::string& name, std::string& value) {
    ++lookups;
    auto it = vars.find(name);
    if (it == vars.end()) return false;
    value = it->second;
    return true;
  };
  std::string X(const std::string& text) { return qmsExpandTemplate(text, get); }
  std::string Inert(const std::string& text) { return qmsExpandTemplate(text, get, true); }
};

TEST_F(TemplateTest, VariablesNumbersAndUnknownNames) {
  EXPECT_EQ(X("Hello %(usr.username)"), "Hello bob");
  EXPECT_EQ(X("%(nosuchvar)"), "[vErr:nosuchvar]");
  EXPECT_EQ(X("%(42)"), "42");
  EXPECT_EQ(X("%(-7)"), "-7");
  EXPECT_EQ(X("%(1abc)"), "1abc");  // a number is kept as written, never looked up
  EXPECT_EQ(X("%()"), "[vErr:]");
  EXPECT_EQ(X("%(empty)"), "");
  EXPECT_EQ(X("%( vers )"), "0.9.5");
  EXPECT_EQ(X("a%(vers)b%(vers)c"), "a0.9.5b0.9.5c");
  // Names are exact: the table is lower case.
  EXPECT_EQ(X("%(VERS)"), "[vErr:VERS]");
  // Text without forms passes untouched, percent signs and parentheses included.
  EXPECT_EQ(X("100% (sure) %d %s )("), "100% (sure) %d %s )(");
}

TEST_F(TemplateTest, LiteralsAndGroups) {
  EXPECT_EQ(X("%(\"a,b)c\")"), "a,b)c");
  EXPECT_EQ(X("%(\"abc"), "abc[)Err]");  // open quote takes the rest, then no ")"
  EXPECT_EQ(X("%((vers))"), "0.9.5");
  EXPECT_EQ(X("%(((\"x\")))"), "x");
  // Text between a value and its ")" stays; only the ")" goes.
  EXPECT_EQ(X("%(\"a\" x)y"), "a xy");
  EXPECT_EQ(X("%((\"a\" y) x)"), "a y x");
  EXPECT_EQ(X("%((vers y) x)"), "[vErr:vers y] x");  // a name runs up to the ")"
  // Forms skipped on the way to the ")" are not expanded ...
  EXPECT_EQ(X("%(\"a\" %(vers))!"), "a %(vers)!");
  // ... but without a ")" the scan goes on after "[)Err]" and finds them.
  EXPECT_EQ(X("%(\"a\" %(vers"), "a[)Err] 0.9.5[)Err]");
}

TEST_F(TemplateTest, MissingCloseParenthesis) {
  EXPECT_EQ(X("%(vers"), "0.9.5[)Err]");
  EXPECT_EQ(X("x %((vers"), "x 0.9.5[)Err][)Err]");
  EXPECT_EQ(X("%(cat(\"a\",\"b\""), "ab[)Err][)Err]");
  EXPECT_EQ(X("%(cat(\"a\",\"b\")"), "ab[)Err]");
  EXPECT_EQ(X("%("), "[vErr:][)Err]");
}

TEST_F(TemplateTest, FunctionsCatAndFill) {
  EXPECT_EQ(X("%(cat(\"a\",time))"), "a12:34:56");
  EXPECT_EQ(X("%(cat())"), "");
  EXPECT_EQ(X("%(cat(vers))"), "0.9.5");
  EXPECT_EQ(X("%(cat(\"a\", \"b\" , vers))"), "ab0.9.5");
  // Quotes protect commas and parentheses inside arguments.
  EXPECT_EQ(X("%(cat(\"x,y\",\"(z)\"))"), "x,y(z)");
  EXPECT_EQ(X("%(cat(cat(\"a\",\"b\"),(vers),fill(\"c\",2,\"-\")))"), "ab0.9.5c-");

  EXPECT_EQ(X("%(fill(vers,8,\".\"))"), "0.9.5...");
  EXPECT_EQ(X("%(fill(vers,-8,\".\"))"), "...0.9.5");
  EXPECT_EQ(X("%(fill(vers,3))"), "0.9");
  EXPECT_EQ(X("%(fill(vers,-3))"), "9.5");
  EXPECT_EQ(X("%(fill(\"ab\",4))"), "ab  ");       // pad defaults to a blank
  EXPECT_EQ(X("%(fill(\"ab\",4,\"\"))"), "ab  ");  // so does an empty pad
  EXPECT_EQ(X("%(fill(\"ab\",-5,\"xyz\"))"), "xxxab");
  EXPECT_EQ(X("%(fill(\"ab\",0))"), "");
  EXPECT_EQ(X("%(fill(\"ab\",width,\"*\"))"), "**ab");  // width from a variable

  EXPECT_EQ(X("%(fill(vers))"), "[fErr:fill]");
  EXPECT_EQ(X("%(fill(vers,wide))"), "[fErr:fill]");
  EXPECT_EQ(X("%(nope(1,2))"), "[fErr:nope]");
  EXPECT_EQ(X("%(Cat(\"a\"))"), "[fErr:Cat]");
}

TEST_F(TemplateTest, FillNeverAllocatesWithoutBound) {
  EXPECT_EQ(qmsTemplateFill("a", 99999999999L, ' ').size(), size_t(kTemplateMaxFill));
  EXPECT_EQ(qmsTemplateFill("a", -99999999999L, ' ').size(), size_t(kTemplateMaxFill));
  EXPECT_EQ(qmsTemplateFill("a", LONG_MIN, '.').size(), size_t(kTemplateMaxFill));
  EXPECT_EQ(X("%(fill(\"a\",99999999999999999999))").size(), size_t(kTemplateMaxFill));
}

TEST_F(TemplateTest, ValuesAreNeverExpandedAgain) {
  // Within one pass.
  EXPECT_EQ(X("%(evil)"), "%(secret)");
  EXPECT_EQ(X("%(cat(evil,\"!\"))"), "%(secret)!");
  // Across passes: inert output stays inert however often it is expanded again, and
  // restoring gives the plain text back.
  std::string once = Inert("[%(evil)] %(pct)(secret) %(paren) %(vers)");
  EXPECT_EQ(once.find("%("), std::string::npos);
  EXPECT_EQ(Inert(once), once);
  EXPECT_EQ(qmsRestoreTemplate(once), "[%(secret)] 50%(secret) (secret) 0.9.5");
  EXPECT_EQ(X(once), "[%(secret)] 50%(secret) (secret) 0.9.5");
  // A value ending in "%" before literal template text that starts with "(".
  EXPECT_EQ(Inert("%(pct)(x)").find("%("), std::string::npos);
  EXPECT_EQ(Inert("x%%(paren)").find("%("), std::string::npos);
}

TEST_F(TemplateTest, NeutralizedClientTextIsNotExpanded) {
  const std::string client = "%(secret) and %(cat(secret))";
  std::string neutral = qmsNeutralizeTemplate(client);
  EXPECT_EQ(neutral.find("%("), std::string::npos);
  lookups = 0;
  EXPECT_EQ(X("550 " + neutral + ": %(vers)"), "550 " + client + ": 0.9.5");
  EXPECT_EQ(lookups, 1);  // only vers was looked up
  EXPECT_EQ(qmsRestoreTemplate(neutral), client);
  EXPECT_EQ(qmsNeutralizeTemplate("no forms"), "no forms");
  EXPECT_EQ(qmsNeutralizeTemplate("%(%(("), "%\x01(%\x01((");
  // Client text placed right after a "%" or right before a "(" of the template.
  EXPECT_EQ(X("%" + qmsNeutralizeTemplate("(secret)")), "%(secret)");
  EXPECT_EQ(X(qmsNeutralizeTemplate("100%") + "(secret)"), "100%(secret)");
  EXPECT_EQ(lookups, 1);
  for (const char* s : {"50%", "(x", "%", "((%(%", "a%b(c", ""})
    EXPECT_EQ(qmsRestoreTemplate(qmsNeutralizeTemplate(s)), s) << s;
}

TEST_F(TemplateTest, NestingIsCappedAt32Levels) {
  auto groups = [](int n) { return "%(" + std::string(n - 1, '(') + "vers" + std::string(n, ')'); };
  EXPECT_EQ(X(groups(kTemplateMaxDepth)), "0.9.5");
  std::string deeper = X(groups(kTemplateMaxDepth + 1));
  EXPECT_NE(deeper.find("[)Err]"), std::string::npos);
  EXPECT_EQ(deeper.find("0.9.5"), std::string::npos);

  std::string calls = "%(";
  for (int i = 1; i < kTemplateMaxDepth; ++i) calls += "cat(";
  calls += "vers";
  calls += std::string(kTemplateMaxDepth, ')');
  EXPECT_EQ(X(calls), "0.9.5");
  std::string beyond = "%(";
  for (int i = 1; i < kTemplateMaxDepth + 5; ++i) beyond += "cat(";
  beyond += "vers";
  beyond += std::string(kTemplateMaxDepth + 5, ')');
  EXPECT_NE(X(beyond).find("[)Err]"), std::string::npos);
}

TEST_F(TemplateTest, HostileInputsFinishWithBoundedOutput) {
  const size_t n = 100000;
  std::vector<std::string> inputs = {
      "%(" + std::string(n, '('),
      "%(" + std::string(n, '(') + std::string(n, ')'),
      [&] {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += "%(";
        return s;
      }(),
      [&] {
        std::string s;
        for (size_t i = 0; i < n / 4; ++i) s += "%(cat(";
        return s;
      }(),
      [&] {
        std::string s;
        for (size_t i = 0; i < n / 6; ++i) s += "%(f(\"";
        return s + ",";
      }(),
      [&] {
        std::string s;
        for (size_t i = 0; i < n / 6; ++i) s += "%(f(\"\"";
        return s + ",";
      }(),
      [&] {
        std::string s = "%(cat(";
        for (size_t i = 0; i < n; ++i) s += "a,";
        return s;
      }(),
      "%(" + std::string(n, '"'),
      "%(" + std::string(n, ')'),
      "%(" + std::string(n, ','),
      std::string(n, ')') + "%(vers",
  };
  for (const std::string& in : inputs) {
    std::string out = X(in);
    // Each form adds at most a few fixed texts per level; nothing grows with depth.
    EXPECT_LT(out.size(), in.size() * 8 + 1024);
  }
  EXPECT_EQ(X(std::string(n, ')') + "%(vers"), std::string(n, ')') + "0.9.5[)Err]");
}

TEST_F(TemplateTest, NulBytesAreOrdinaryCharacters) {
  using namespace std::string_literals;
  EXPECT_EQ(X("a\0b%(vers)\0"s), "a\0b0.9.5\0"s);
  EXPECT_EQ(X("%(\0vers)"s), "[vErr:\0vers]"s);
  EXPECT_EQ(X("%(\"x\0y\")"s), "x\0y"s);
  EXPECT_EQ(X("%(cat(\"\0\",vers))\0"s), "\0"s + "0.9.5\0"s);
  EXPECT_EQ(X("%(\0"s), "[vErr:\0][)Err]"s);
}

TEST_F(TemplateTest, RandomTemplatesNeverCrashAndKeepPlainText) {
  // Random strings over the characters the parser cares about. ASan/UBSan catch any read
  // outside the text; the checks catch lost or invented plain text.
  std::mt19937 rng(12345);
  using namespace std::string_literals;
  const std::string alphabet = "%()\",, ab19-\t\0x"s;
  for (int round = 0; round < 20000; ++round) {
    std::string in;
    size_t len = rng() % 40;
    for (size_t i = 0; i < len; ++i) in += alphabet[rng() % alphabet.size()];
    std::string out = X(in);
    if (in.find("%(") == std::string::npos) {
      EXPECT_EQ(out, in);
    }
    std::string inert = Inert(in);
    EXPECT_EQ(inert.find("%("), std::string::npos) << in;
    EXPECT_EQ(Inert(inert), inert);
  }
}

TEST(ExpandSSITest, DirectivesAreRemovedNeverExecuted) {
  std::string page = "<p>a</p><!--#include virtual=\"/etc/passwd\" --><p>b</p>";
  ExpandSSI(page);
  EXPECT_EQ(page, "<p>a</p><p>b</p>");

  std::string several = "1<!--#echo var=\"x\"-->2<!--#exec cmd=\"ls\"-->3<!-- plain comment -->";
  ExpandSSI(several);
  EXPECT_EQ(several, "123<!-- plain comment -->");

  std::string adjacent = "<!--#a--><!--#b-->x<!--#-->";
  ExpandSSI(adjacent);
  EXPECT_EQ(adjacent, "x");

  // The directive ends at the next "-->", not a later one.
  std::string next = "<!--#a-->b-->c";
  ExpandSSI(next);
  EXPECT_EQ(next, "b-->c");

  std::string open = "keep<!--#include file=\"x\" and the rest";
  ExpandSSI(open);
  EXPECT_EQ(open, "keep");

  std::string none = "no directives <!-- # --> here";
  ExpandSSI(none);
  EXPECT_EQ(none, "no directives <!-- # --> here");

  std::string empty;
  ExpandSSI(empty);
  EXPECT_EQ(empty, "");
}

}  // namespace
