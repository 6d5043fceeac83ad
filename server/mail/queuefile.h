// qmsTQueueFile: one message of the mail queue as the receiving side writes it - the
// header file "N.inc" (renamed to "N.hdr" once the message is complete) and the body
// file "N.msg" in the queue directory.
//
// The header is a sectioned key file (the format jvbTTextConfig reads). It is kept in
// memory and the whole file is rewritten at every change, so what is on disk is always a
// complete file; a failed write is reported to the caller, never ignored. Section names,
// keys and values are made safe here: values lose NUL, CR and LF, and the callers only
// pass keys and section names that passed ValidFieldName / ValidAddressPart.
//
// Names: 8 upper-case hex digits of the local time in seconds since 1980-01-01 and 4 of
// the thread id (the thread tag). This process never hands out a name twice: a tag that
// asks again within the same second, or after the clock stepped back, gets the second
// after the last one it was given. Both queue files are created exclusively (a file made
// under a private name is moved into place with a rename that never replaces), so two
// sessions can never share a message, whatever their clocks and thread ids. A name may
// still come again after a restart; nothing that keeps a message by its name (local
// delivery, reports) ever replaces a file for that reason.
//
// Life: Create -> header changes -> CreateBody / WriteBody / CloseBody -> Commit. Discard
// (or destroying an uncommitted object) removes every file the object made, including a
// ".bak" that a key-file writer may have left beside the header.
//
// One object belongs to one session thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "toolbox/textfile.h"
#include "toolbox/timeutil.h"

class qmsTQueueFile {
 public:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };
  using Model = std::vector<Section>;

  // The files of queued message "N", by suffix: "N.inc" while its header is written,
  // "N.hdr" once the message is complete, "N.msg" its body, "N.lck" held by the delivery
  // pass that owns it, "N.bak" left by a key-file writer. Only this unit spells them.
  static constexpr const char* kIncomingSuffix = ".inc";
  static constexpr const char* kHeaderSuffix = ".hdr";
  static constexpr const char* kBodySuffix = ".msg";
  static constexpr const char* kLockSuffix = ".lck";
  static constexpr const char* kBackupSuffix = ".bak";
  // The search mask of one kind of queue file ("*.hdr").
  static std::string Mask(const char* suffix) { return std::string("*") + suffix; }
  // The message name or path of a queue file's name or path (its suffix removed).
  static std::string Stem(const std::string& file) {
    return file.substr(0, file.size() - std::min<size_t>(file.size(), 4));
  }

  qmsTQueueFile() = default;
  ~qmsTQueueFile();
  qmsTQueueFile(const qmsTQueueFile&) = delete;
  qmsTQueueFile& operator=(const qmsTQueueFile&) = delete;

  // Makes sure the directory exists, forms a free name and creates "N.inc" holding the
  // current header (normally empty). False with *err set when nothing could be created.
  bool Create(const std::string& directory, long threadId, int* err = nullptr);

  const std::string& Name() const { return name_; }
  // Directory + "/" + name, without extension.
  const std::string& Path() const { return path_; }
  bool Created() const { return created_; }
  bool Committed() const { return committed_; }

  // --- Header (in memory; Flush writes it) ---
  // Sections match without regard to ASCII case, keys exactly (as the key-file reader).
  bool Read(const std::string& section, const std::string& key, std::string& value) const;
  std::string ReadString(const std::string& section, const std::string& key) const;
  std::vector<std::string> ReadList(const std::string& section, const std::string& key) const;
  bool HasSection(const std::string& section) const;
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void SetList(const std::string& section, const std::string& key,
               const std::vector<std::string>& list);
  // Rewrites the header file from the model. False (and LastError) when any step fails.
  bool Flush();
  const Model& Header() const { return model_; }
  // For undoing a change that could not be written.
  Model Snapshot() const { return model_; }
  void Restore(Model model) { model_ = std::move(model); }

  // --- Body ---
  bool CreateBody();
  bool BodyCreated() const { return body_created_; }
  // Buffered; false once a write has failed (later calls fail too).
  bool WriteBody(const std::string& bytes);
  int64_t BodySize() const { return body_size_; }
  // Flushes, syncs and closes the body. False when anything failed on the way.
  bool CloseBody();
  // Removes the body file ("N.msg").
  void DiscardBody();

  // Moves the complete header to "N.hdr" (never over an existing file). The body must be
  // closed. After success the object no longer owns any file.
  bool Commit();
  // Removes "N.inc", "N.bak" and the body, as far as this object made them.
  void Discard();

  int LastError() const { return last_error_; }

  // The key-file text of a model.
  static std::string Serialize(const Model& model);
  // A word list as the key-file reader cuts it: words with blanks are quoted.
  static std::string JoinList(const std::vector<std::string>& list);
  // Queue name for a local time, a thread id and a collision bump.
  static std::string FormName(const jvb::DateTime& local, long threadId, uint32_t bump = 0);
  // The next name of the thread's tag that this process has not handed out (see above).
  static std::string NextName(long threadId);
  static uint16_t ThreadTag(long threadId);
  // A header field name that may become a key: RFC 5322 field-name characters (printable
  // ASCII without ":"), and nothing the key-file reader would take for a section, a
  // comment or a separator ("[", "#", ";" in front, "=" anywhere).
  static bool ValidFieldName(const std::string& name);
  // A local part or a "@domain" that may become a list word or a section name: not empty,
  // no blanks, control characters, NUL, "[", "]", "=" or double quotes.
  static bool ValidAddressPart(const std::string& part);

 private:
  Section* Find(const std::string& section);
  const Section* Find(const std::string& section) const;
  // Creates path exclusively and leaves it open in file (written with initial).
  bool CreateExclusive(const std::string& path, const std::string& initial, jvbTTextFile& file);
  bool FlushBodyBuffer();

  std::string directory_;
  std::string name_;
  std::string path_;
  Model model_;
  jvbTTextFile body_;
  std::string body_buffer_;
  int64_t body_size_ = 0;
  bool created_ = false;
  bool committed_ = false;
  bool body_created_ = false;
  bool body_failed_ = false;
  int last_error_ = 0;
};
