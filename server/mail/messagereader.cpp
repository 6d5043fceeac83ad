#include "server/mail/messagereader.h"

#include "server/mail/queuefile.h"
#include "toolbox/platform.h"

void qmsTMessageReader::FieldIndex::Set(const std::string& name, const std::string& value) {
  auto it = at_.find(name);
  if (it == at_.end()) {
    if (fields_.size() >= kFieldsMax) return;
    it = at_.emplace(name, fields_.size()).first;
    fields_.emplace_back(name, std::string());
    total_ += name.size();
  }
  Replace(fields_[it->second].second, value);
}

void qmsTMessageReader::FieldIndex::Append(const std::string& name, const std::string& line) {
  auto it = at_.find(name);
  if (it == at_.end()) return;
  std::string& value = fields_[it->second].second;
  Replace(value, value + line);
}

void qmsTMessageReader::FieldIndex::Replace(std::string& stored, std::string value) {
  if (value.size() > kValueMax) value.resize(kValueMax);
  const size_t others = total_ - stored.size();
  const size_t room = others >= kIndexMax ? 0 : kIndexMax - others;
  if (value.size() > room) value.resize(room);
  total_ = total_ - stored.size() + value.size();
  stored = std::move(value);
}

bool qmsTMessageReader::Line(const std::string& line) {
  if (ended_) return true;
  if (line == ".") {
    ended_ = true;
    return true;
  }
  const std::string text = !line.empty() && line[0] == '.' ? line.substr(1) : line;
  if (too_large_) return false;  // read on to the end, store nothing more
  if (in_header_)
    HeaderLine(text);
  else
    BodyLine(text);
  if (sink_.Size() + 2 * empty_lines_ > size_max_) too_large_ = true;
  return false;
}

void qmsTMessageReader::HeaderLine(const std::string& line) {
  sink_.Write(line + "\r\n");
  if (line.empty()) {
    in_header_ = false;
    body_position_ = sink_.Size();
  } else if (line[0] == ' ' || line[0] == '\t') {
    if (!field_.empty()) fields_.Append(field_, line);
  } else {
    size_t colon = line.find(':');
    std::string name = jvb::AsciiUpper(colon == std::string::npos ? line : line.substr(0, colon));
    if (colon == std::string::npos || !qmsTQueueFile::ValidFieldName(name)) {
      field_.clear();  // not stored: it would not read back as the same key
    } else {
      size_t v = line.find_first_not_of(" \t", colon + 1);
      fields_.Set(name, v == std::string::npos ? std::string() : line.substr(v));
      field_ = name;
    }
  }
}

void qmsTMessageReader::BodyLine(const std::string& line) {
  if (line.empty()) {
    ++empty_lines_;
    return;
  }
  std::string text;
  for (; empty_lines_ > 0 && sink_.Size() + static_cast<int64_t>(text.size()) <= size_max_;
       --empty_lines_)
    text += "\r\n";
  empty_lines_ = 0;
  text += line;
  text += "\r\n";
  sink_.Write(text);
}
