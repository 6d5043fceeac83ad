// qmsTMessageReader: the text of one message as DATA receives it, line by line. It undoes
// the dot-stuffing, recognises the end mark, stores the text through a sink, indexes the
// header fields and enforces the size limit. It does no I/O of its own, so it is fed and
// tested with plain strings.
//
// Lines come as the dialogue reads them: split at CR LF only, without it. A bare LF or CR
// inside a line is text, so only CR LF "." CR LF ends the message; nothing hidden inside
// it can end it early or start a second transaction.
//
// What is stored: header lines as they came (each with CR LF), then the body, whose empty
// lines are held back until a non-empty line follows, so that trailing empty lines are
// dropped. Once the stored text would pass the limit, or a line was lost to the line
// limit, the reader stores nothing more and reads on to the end mark.
//
// Threads: one reader belongs to one session thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class qmsTMessageReader {
 public:
  // Bounds of the header index: fields indexed, bytes of one value, bytes of them all.
  static constexpr size_t kFieldsMax = 1000;
  static constexpr size_t kValueMax = 64 * 1024;
  static constexpr size_t kIndexMax = 1024 * 1024;

  // Where the text is stored. Size is what the store holds so far, the text written
  // before the reader started included.
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void Write(const std::string& bytes) = 0;
    virtual int64_t Size() const = 0;
  };

  // The header fields of a message, held until the text is complete and then written in
  // one go. Bounded: further fields are not indexed, values stop growing.
  class FieldIndex {
   public:
    using Fields = std::vector<std::pair<std::string, std::string>>;
    // name is already upper-cased and valid.
    void Set(const std::string& name, const std::string& value);
    // Continues the value of name (no effect for a field not indexed).
    void Append(const std::string& name, const std::string& line);
    // In the order first seen.
    const Fields& All() const { return fields_; }

   private:
    void Replace(std::string& stored, std::string value);

    Fields fields_;
    std::unordered_map<std::string, size_t> at_;
    size_t total_ = 0;
  };

  // sink outlives the reader; sizeMax bounds what the sink may hold, in bytes.
  qmsTMessageReader(Sink& sink, int64_t sizeMax) : sink_(sink), size_max_(sizeMax) {}

  // Takes one line; true when it was the end mark.
  bool Line(const std::string& line);
  // A line was lost to the line limit: the message cannot be stored whole.
  void LineLost() { too_large_ = true; }

  bool Ended() const { return ended_; }
  bool TooLarge() const { return too_large_; }
  const FieldIndex::Fields& Fields() const { return fields_.All(); }
  // Offset of the body in the stored text (-1 when the header never ended).
  int64_t BodyPosition() const { return body_position_; }

 private:
  void HeaderLine(const std::string& line);
  void BodyLine(const std::string& line);

  Sink& sink_;
  const int64_t size_max_;
  FieldIndex fields_;
  std::string field_;  // the field a continuation line belongs to
  bool in_header_ = true;
  int64_t body_position_ = -1;
  int64_t empty_lines_ = 0;  // body lines held back until a non-empty line follows
  bool ended_ = false;
  bool too_large_ = false;
};
