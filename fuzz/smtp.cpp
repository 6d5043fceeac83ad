// The SMTP receiving side without a socket: command lines (stripping, the path of MAIL
// and RCPT, the names that may become queue header keys) and the DATA reader fed the
// input's lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "server/mail/messagereader.h"
#include "server/mail/queuefile.h"
#include "server/mail/smtpsession.h"

namespace {

class StringSink : public qmsTMessageReader::Sink {
 public:
  void Write(const std::string& bytes) override { text += bytes; }
  int64_t Size() const override { return static_cast<int64_t>(text.size()); }
  std::string text;
};

constexpr int64_t kSizeMax = 64 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = qmsfuzz::Lines(qmsfuzz::Bytes(data, size));
  const std::string command = qmsTSession::StripCommandLine(lines[0]);
  std::string path = qmsTSMTPSession::ExtractPath(command);
  std::string rcpt = qmsTSMTPSession::RecipientPath(command);
  qmsTQueueFile::ValidAddressPart(path);
  qmsTQueueFile::ValidAddressPart(rcpt);

  StringSink sink;
  qmsTMessageReader reader(sink, kSizeMax);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (reader.Line(lines[i])) break;
  }
  if (sink.Size() > kSizeMax) qmsfuzz::Fail("stored text passed the size limit");
  size_t fields = 0;
  for (const auto& field : reader.Fields()) {
    if (!qmsTQueueFile::ValidFieldName(field.first)) qmsfuzz::Fail("field name not fit for a key");
    if (field.second.size() > qmsTMessageReader::kValueMax) qmsfuzz::Fail("field value over its bound");
    ++fields;
  }
  if (fields > qmsTMessageReader::kFieldsMax) qmsfuzz::Fail("more fields than indexed");
  return 0;
}
