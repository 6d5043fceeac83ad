// The parts of the mail dialogues that work on text alone: the DATA message reader and
// its header index, POP3's dot-stuffer, and the SMTP command-line helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/mail/dotstuffer.h"
#include "server/mail/messagereader.h"
#include "server/mail/smtpsession.h"

namespace {

// The message reader's store as a string.
class StringSink : public qmsTMessageReader::Sink {
 public:
  void Write(const std::string& bytes) override { text += bytes; }
  int64_t Size() const override { return static_cast<int64_t>(text.size()); }
  std::string text;
};

struct ReadCase {
  const char* name;
  std::vector<std::string> lines;
  int64_t sizeMax;
  std::string stored;
  bool ended;
  bool tooLarge;
  int64_t bodyPosition;
};

TEST(MessageReader, StoresUnstuffsAndEndsOnTheMarkOnly) {
  const std::vector<ReadCase> cases = {
      {"plain",
       {"Subject: hi", "", "body", "."},
       1000,
       "Subject: hi\r\n\r\nbody\r\n",
       true,
       false,
       15},
      {"dots undone",
       {"..x: y", "", "..dot", ".", "after"},
       1000,
       ".x: y\r\n\r\n.dot\r\n",
       true,
       false,
       9},
      {"bare LF is text",
       {"A: b", "", "one\n.\ntwo", "."},
       1000,
       "A: b\r\n\r\none\n.\ntwo\r\n",
       true,
       false,
       8},
      {"no end mark", {"A: b", "", "text"}, 1000, "A: b\r\n\r\ntext\r\n", false, false, 8},
      {"trailing empty lines dropped",
       {"A: b", "", "x", "", "", "y", "", "", "."},
       1000,
       "A: b\r\n\r\nx\r\n\r\n\r\ny\r\n",
       true,
       false,
       8},
      {"header without end", {"A: b", "."}, 1000, "A: b\r\n", true, false, -1},
      {"too large",
       {"A: b", "", "0123456789", "more", "."},
       12,
       "A: b\r\n\r\n0123456789\r\n",
       true,
       true,
       8},
  };
  for (const ReadCase& c : cases) {
    StringSink sink;
    qmsTMessageReader reader(sink, c.sizeMax);
    for (const std::string& line : c.lines)
      if (reader.Line(line)) break;
    EXPECT_EQ(sink.text, c.stored) << c.name;
    EXPECT_EQ(reader.Ended(), c.ended) << c.name;
    EXPECT_EQ(reader.TooLarge(), c.tooLarge) << c.name;
    EXPECT_EQ(reader.BodyPosition(), c.bodyPosition) << c.name;
  }
}

TEST(MessageReader, IndexesValidHeaderFieldsWithContinuations) {
  StringSink sink;
  qmsTMessageReader reader(sink, 1 << 20);
  for (const char* line : {"Subject: one", "\ttwo", "bad field: x", " lost", "NoColon",
                           "subject:  again", "X-Empty:", "", "Body: no", "."})
    reader.Line(line);
  using Fields = qmsTMessageReader::FieldIndex::Fields;
  EXPECT_EQ(reader.Fields(), (Fields{{"SUBJECT", "again"}, {"X-EMPTY", ""}}));
}

TEST(MessageReader, ALostLineMakesTheMessageTooLarge) {
  StringSink sink;
  qmsTMessageReader reader(sink, 1000);
  reader.Line("A: b");
  reader.LineLost();
  reader.Line("");
  EXPECT_TRUE(reader.Line("."));
  EXPECT_TRUE(reader.TooLarge());
  EXPECT_EQ(sink.text, "A: b\r\n");
}

TEST(FieldIndex, BoundsFieldsValuesAndTotal) {
  qmsTMessageReader::FieldIndex index;
  index.Set("A", std::string(qmsTMessageReader::kValueMax + 10, 'a'));
  ASSERT_EQ(index.All().size(), 1u);
  EXPECT_EQ(index.All()[0].second.size(), qmsTMessageReader::kValueMax);
  index.Append("A", "more");
  EXPECT_EQ(index.All()[0].second.size(), qmsTMessageReader::kValueMax);
  index.Append("UNKNOWN", "x");  // no field of that name: nothing happens
  for (size_t i = 0; i < qmsTMessageReader::kFieldsMax + 5; ++i)
    index.Set("F" + std::to_string(i), std::string(qmsTMessageReader::kValueMax, 'v'));
  EXPECT_EQ(index.All().size(), qmsTMessageReader::kFieldsMax);
  size_t total = 0;  // the values stop growing once the index is full
  for (const auto& field : index.All()) total += field.second.size();
  EXPECT_LE(total, qmsTMessageReader::kIndexMax);
  index.Set("A", "short");
  EXPECT_EQ(index.All()[0].second, "short");
}

struct StuffCase {
  const char* name;
  std::string file;
  int64_t bodyLines;
  std::string data;
};

std::string Stuff(const std::string& file, int64_t bodyLines, size_t block) {
  qmsTDotStuffer stuffer(bodyLines);
  std::string out;
  for (size_t at = 0; at < file.size(); at += block)
    if (stuffer.Feed(file.data() + at, std::min(block, file.size() - at), out)) break;
  stuffer.Finish(out);
  return out;
}

TEST(DotStuffer, DoublesLeadingDotsAndEndsWithTheMark) {
  const std::vector<StuffCase> cases = {
      {"plain", "A: b\r\n\r\nbody\r\n", -1, "A: b\r\n\r\nbody\r\n.\r\n"},
      {"dots everywhere", ".A: b\n\r\n.x\r\n..y\r\n.", -1,
       "..A: b\r\n\r\n..x\r\n...y\r\n..\r\n.\r\n"},
      {"LF header lines", "A: b\nC: d\n\nbody", -1, "A: b\r\nC: d\r\n\r\nbody\r\n.\r\n"},
      {"header ended by the file", "A: b", -1, "A: b\r\n.\r\n"},
      {"empty file", "", -1, ".\r\n"},
      {"top 0", "A: b\r\n\r\none\r\ntwo\r\n", 0, "A: b\r\n\r\n.\r\n"},
      {"top 1", "A: b\r\n\r\none\r\ntwo\r\n", 1, "A: b\r\n\r\none\r\n.\r\n"},
      // Only CR LF "." CR LF ends the data, so a bare LF or CR at the end gets a CR LF.
      {"body ending in a bare LF", "A: b\r\n\r\nx\n", -1, "A: b\r\n\r\nx\n\r\n.\r\n"},
      {"body ending in a bare CR", "A: b\r\n\r\nx\r", -1, "A: b\r\n\r\nx\r\r\n.\r\n"},
      {"top 1 ending in a bare LF", "A: b\r\n\r\none\ntwo\r\n", 1, "A: b\r\n\r\none\n\r\n.\r\n"},
  };
  for (const StuffCase& c : cases)
    for (size_t block : {size_t{1}, size_t{3}, size_t{4096}})
      EXPECT_EQ(Stuff(c.file, c.bodyLines, block), c.data) << c.name << " block " << block;
}

TEST(DotStuffer, SendsALongHeaderLineInPieces) {
  const std::string longLine = "." + std::string(qmsTDotStuffer::kHeaderPiece * 2, 'h');
  const std::string data = Stuff(longLine + "\r\n\r\n.b\r\n", -1, 4096);
  EXPECT_EQ(data, "." + longLine + "\r\n\r\n..b\r\n.\r\n");
}

TEST(SmtpCommandLine, ExtractPathAndStripCommandLine) {
  const std::vector<std::pair<std::string, std::string>> paths = {
      {"FROM:<a@b.test>", "a@b.test"},
      {"FROM: <\"x>y\"@b.test> SIZE=1", "x>y\"@b.test"},
      {"TO:<\"a@b\">", "a@b"},
      {"TO:<>", ""},
      {"TO:nobrackets@b.test", ""},
      {"TO:<open@b.test", "open@b.test"},
      {"TO:<\"unbalanced@b.test>", "unbalanced@b.test"},
  };
  for (const auto& [argument, path] : paths)
    EXPECT_EQ(qmsTSMTPSession::ExtractPath(argument), path) << argument;
  EXPECT_EQ(qmsTSMTPSession::RecipientPath("TO:<@h1,@h2:bob@b.test>"), "bob@b.test");
  EXPECT_EQ(qmsTSMTPSession::StripCommandLine("\x01\xff MAIL FROM:<a>\t \r"),
            "MAIL FROM:<a>");
  EXPECT_EQ(qmsTSMTPSession::StripCommandLine(" \x7f\x80"), "");
  EXPECT_EQ(qmsTSMTPSession::StripCommandLine("A\x80"), "A\x80");
}

}  // namespace
