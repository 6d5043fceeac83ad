// Texts of the TLS reply keys for sites whose message files predate them.
#pragma once

#include <string>

// One reply key with its built-in text.
struct qmsTBuiltInReply {
  int protocol;  // qmsTProtocol
  const char* section;
  const char* key;
  const char* text;
};

// The built-in text of (section, key) for a protocol, nullptr when it has none. Only the
// keys of the TLS commands have one: a message file of an older release lacks them, and
// an empty reply would leave the client hanging.
const char* qmsBuiltInReply(int protocol, const std::string& section, const std::string& key);

// Every key that has a built-in text, for checks of the shipped message files.
const qmsTBuiltInReply* qmsBuiltInReplies(size_t& count);
