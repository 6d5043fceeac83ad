// qmsTIMAP4Session: the IMAP4 service (protocol 3) - login, capability, folder listing
// and subscriptions, creating, deleting and renaming folders, and selecting a folder
// (which counts its messages and marks new ones as recent). Message-level commands are
// answered as not supported.
//
// Folders are directories below the user folder "<HomeDirectory>/<user>/.mailbox" (see
// qmsTMailbox); after LOGIN that folder is opened as a root and every folder, message and
// flag file is resolved beneath it, so a link placed in it never leads out. Names are
// checked before they reach the file system: segments separated by "/", none empty or
// beginning with "." (so ".." and the session's own files are out of reach), no control or
// 8-bit bytes and none of  " \ * % ; "INBOX" in any case as the first segment names the
// folder "Inbox". Symbolic links are never folders: LIST does not show or enter them and
// no command acts on them.
//
// Messages are the "*.msg" files of a folder; SELECT gives each one a flag file
// "<name>.qms" (section IMAP, Recent=1) the first time it sees it - that message counts as
// recent for that one session - and removes flag files (and their ".bak" companions) whose
// message has gone.
//
// Commands: any argument may be a synchronising literal "{n}" (RFC 3501): the client gets
// "+ Ready for literal data" and sends exactly n bytes, which stand for the argument as
// they are. A command with its literals is bounded; a literal that would pass the bound is
// refused with a tagged BAD ("BADl" of GLOBAL) instead of the continuation.
//
// Replies come from "messages/imap4/imap4.res": section = command name (or "GLOBAL"), keys
// "a", "b", "OKa", "NOa", "BADa", "BADz", "BADl"; the tag reaches them through
// %(imap.identifier).
//
// Threads: everything runs on the session's own pooled thread.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/core/session.h"
#include "toolbox/textfile.h"

class qmsTService;

class qmsTIMAP4Session : public qmsTSession {
 public:
  static constexpr size_t kMaxLine = 16384;
  static constexpr size_t kMaxFolderName = 1024;
  static constexpr int kMaxFolderDepth = 32;
  static constexpr int kMaxListItems = 10000;
  static constexpr size_t kMaxSubscriptions = 10000;
  // Bytes of one command with literals: its lines and its literals together.
  static constexpr size_t kMaxCommand = 64 * 1024;

  explicit qmsTIMAP4Session(qmsTService* service);
  ~qmsTIMAP4Session() override;

  bool Start() override;
  bool GetVars(const std::string& name, std::string& value) override;

  // Splits a command line into words. Blanks separate words; a double quote opens or
  // closes a quoted stretch in which blanks do not separate and "\" takes the next
  // character literally (RFC 3501 quoted strings); the quotes themselves are not part of
  // the word, and "" is an empty word.
  static std::vector<std::string> SplitWords(const std::string& line);
  // When the line ends with a synchronising literal "{n}" (a word of its own, outside
  // quotes): removes it from the line, sets size to n and returns true.
  static bool LiteralAtEnd(std::string& line, size_t& size);
  // The folder a client's name stands for, relative to the user folder ("Inbox/Drafts"),
  // or "" when the name may not name a folder (see above). One trailing "/" is ignored.
  static std::string FolderName(const std::string& name);
  // IMAP pattern match without regard to ASCII case: "*" any run, "%" any run without
  // "/", "?" one character.
  static bool MatchPattern(const std::string& pattern, const std::string& name);

  std::string HomeDirectory;
  std::string Identifier;
  std::string Command;
  // The dialogue's state; the numbers are the ones the log and scripts know.
  enum ImapStateValue : int {
    isNotAuthenticated = 0,
    isAuthenticated = 1,
    isSelected = 2,  // a folder selected
  };
  ImapStateValue ImapState = isNotAuthenticated;

 private:
  void Serve();
  // Reads and runs commands until LOGOUT or the end of the connection.
  void ServeCommands();
  // Reads one command into its words. A line ending with "{n}" gets the continuation
  // "+ Ready for literal data"; the n bytes that follow become one word, whatever they
  // hold, and the command goes on with the next line. Returns 1, 0 when the connection
  // ended, -3 for a line beyond kMaxLine, -4 for a literal beyond kMaxCommand (answered
  // with a tagged BAD in place of the continuation, so the client sends none).
  int ReadCommand(std::vector<std::string>& words);
  bool ReadLiteral(size_t size, std::string& bytes);
  void RefuseLiteral();
  // Identifier and Command from the first two words.
  void SetCommandWords(const std::vector<std::string>& words);
  // Replies. Untagged lines wait and leave together with the reply that ends them, so a
  // client never waits for a lone segment; message-file texts are expanded as SendTxt
  // does (the IMAP4 file has no leading-block entries).
  void Untagged(const std::string& line);
  void UntaggedTxt(const std::string& key, const std::string& section);
  void Reply(const std::string& key, const std::string& section);
  std::string ReplyLine(const std::string& key, const std::string& section);
  // Runs the command named by Command with its words through the command table.
  void Dispatch(const std::vector<std::string>& args);
  // The command's words: exactly count of them, else "BADa".
  bool Arguments(const std::vector<std::string>& args, size_t count);
  // Table handlers around the command handlers: they check the number of words first.
  using Words = std::vector<std::string>;
  template <void (qmsTIMAP4Session::*Handler)(const std::string&)>
  void OneWord(const Words& args);
  template <void (qmsTIMAP4Session::*Handler)(const std::string&, const std::string&)>
  void TwoWords(const Words& args);
  template <void (qmsTIMAP4Session::*Handler)()>
  void AnyWords(const Words& args);
  bool SetUserFolder();
  bool OpenMailbox(const std::string& folder);
  bool OpenSubscriptions();
  bool CloseSubscriptions();
  // A folder name as a path beneath the user folder ("" when the name is not acceptable
  // or no user folder is open).
  std::string FolderPath(const std::string& name);
  void ListLevel(const std::string& prefix, const std::string& pattern, bool recurse, int depth,
                 int& items);

  void imapCAPABILITY();
  void imapSTARTTLS();
  void imapNOOP();
  void imapLOGOUT(const std::vector<std::string>& args);
  void imapLOGIN(const std::string& user, const std::string& password);
  void imapSELECT(const std::string& folder);
  void imapCREATE(const std::string& folder);
  void imapDELETE(const std::string& folder);
  void imapRENAME(const std::string& from, const std::string& to);
  void imapSUBSCRIBE(const std::string& folder);
  void imapUNSUBSCRIBE(const std::string& folder);
  void imapLIST(const std::string& reference, const std::string& pattern);
  void imapLSUB(const std::string& reference, const std::string& pattern);
  // The commands answered with "BADz" of their section, in every state.
  void imapNotSupported();
  void imapAUTHENTICATE() { imapNotSupported(); }
  void imapEXAMINE() { imapNotSupported(); }
  void imapSTATUS() { imapNotSupported(); }
  void imapAPPEND() { imapNotSupported(); }
  void imapCHECK() { imapNotSupported(); }
  void imapCLOSE() { imapNotSupported(); }
  void imapEXPUNGE() { imapNotSupported(); }
  void imapSEARCH() { imapNotSupported(); }
  void imapFETCH() { imapNotSupported(); }
  void imapSTORE() { imapNotSupported(); }
  void imapCOPY() { imapNotSupported(); }
  void imapUID() { imapNotSupported(); }

  static constexpr size_t kSendChunk = 65536;
  bool logout_ = false;
  std::string pending_;
  std::string user_folder_;  // real path with a trailing "/"
  jvb::RootDir user_root_;   // every folder and message path is resolved beneath it
  std::set<std::string> subscriptions_;
  jvbTTextFile subscriptions_file_;
};

// The session factory of protocol 3 (IMAP4), registered by qmsRegisterImap4.
std::unique_ptr<qmsTSession> qmsMakeIMAP4Session(qmsTService* service);
