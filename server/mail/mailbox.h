// qmsTMailbox: the mail store of one account.
//
// Layout, below the group's GLOBAL/HomeDirectory (a virtual path of the session's VFS):
//   <HomeDirectory>/<user>/.mailbox          user folder: IMAP folders, ".subscriptions.imap"
//   <HomeDirectory>/<user>/.mailbox/Inbox    the folder POP3 serves and local delivery fills
// A message is one file "<name>.msg" (name: the queue message name), holding the line
// "Return-Path: <reverse path>" and the queue body byte for byte. Beside it IMAP keeps a
// flag file "<name>.qms"; a POP3 session holds ".locked" while it owns the Inbox.
//
// The user is the account name as the user database holds it (qmsTUser::GetUsername), so
// delivery, POP3 and IMAP agree on one directory. Nothing is stored when the name is not
// a valid account name, HomeDirectory is empty, or the VFS maps it nowhere: the real paths
// are then empty and every operation fails.
//
// Every file of the store is reached beneath the user folder (OpenUserFolder, OpenInbox):
// a symbolic link placed in a mailbox is followed only while it stays inside the folder.
//
// Objects are cheap values for one thread; the files themselves are shared with other
// sessions and processes through the toolbox's locked opens.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace jvb {
class RootDir;
}
class jvbTFileSys;
class jvbTTextConfig;
class jvbTTextFile;

class qmsTMailbox {
 public:
  static constexpr const char* kUserFolderName = ".mailbox";
  static constexpr const char* kInboxName = "Inbox";
  static constexpr const char* kMessageMask = "*.msg";
  static constexpr const char* kMessageExtension = ".msg";
  static constexpr const char* kFlagExtension = ".qms";
  static constexpr const char* kBackupExtension = ".bak";
  static constexpr const char* kLockFileName = ".locked";
  static constexpr const char* kSubscriptionsFileName = ".subscriptions.imap";
  // Directory search mask for message and flag files: regular files only. FIFOs, devices
  // and sockets are "system" entries and are never listed, so nothing ever opens one.
  static constexpr int kFileSearchMask = 0x21;  // read-only + archive

  enum StoreResult {
    stStored = 0,
    stNoMailbox,     // unmapped, invalid user, or the Inbox cannot be created
    stBadName,       // the message name is not a plain message name
    stCannotCreate,  // the message file cannot be created
    stWriteFailed,   // a write, a read of the body or the final rename failed
    stInterrupted,   // proceed() asked to stop
  };

  // fs maps the virtual paths (its virtual root must be "/"); homeDirectory is the
  // GLOBAL/HomeDirectory value; user the account name as the database holds it.
  qmsTMailbox(const jvbTFileSys& fs, const std::string& homeDirectory, const std::string& user);

  // The group's GLOBAL/HomeDirectory; empty (and a system log line) when missing.
  static std::string ReadHomeDirectory(jvbTTextConfig* groupConfig);

  bool Mapped() const { return !inbox_.empty(); }
  const std::string& User() const { return user_; }
  // Virtual paths "<HomeDirectory>/<user>/.mailbox" and ".../Inbox".
  const std::string& VirtualUserFolder() const { return virtual_user_folder_; }
  std::string VirtualInbox() const;
  // Real directories with a trailing "/"; empty unless Mapped().
  const std::string& UserFolder() const { return user_folder_; }
  const std::string& Inbox() const { return inbox_; }

  // Create the directory with missing parents; true when it exists afterwards.
  bool CreateUserFolder() const;
  bool CreateInbox() const;
  // The user folder as the root every mail path is resolved beneath: reached from the
  // home directory without any symbolic link, so a link there never leads to another
  // user's mail or out of the store. create makes missing folders first.
  bool OpenUserFolder(jvb::RootDir& root, bool create) const;
  // The Inbox, resolved beneath the user folder: a link that leads out of it is refused.
  bool OpenInbox(jvb::RootDir& inbox, bool create) const;

  // Local delivery of one message into the Inbox (created when missing): the file
  // "<messageName>.msg" gets the line "Return-Path: <reversePath>" and then the whole of
  // body (read from its start). The copy is written under a temporary name, synced and
  // renamed into place, so readers never see a partial message. A message file is never
  // replaced: when the name is taken the copy becomes "<messageName>-1.msg", "-2" and so
  // on, unless the taken file holds exactly the same bytes (the same message, stored once
  // already by a pass that could not record it), which then stands for the copy.
  // proceed, when given, is called before every block (reset idle timers there); false
  // stops the copy. Any failure removes the partial file.
  StoreResult StoreMessage(const std::string& messageName, const std::string& reversePath,
                           jvbTTextFile& body, const std::function<bool()>& proceed = {}) const;
  // The message file's real path ("" unless Mapped()).
  std::string MessagePath(const std::string& messageName) const;

  // --- Flag files (IMAP) and message removal, in one folder resolved beneath the user
  // folder ---
  // Removes flag files (and the ".bak" copies configuration writers leave beside them)
  // whose message has gone: POP3 deletes messages without their flag files.
  static void SweepStaleFlags(const jvb::RootDir& folder);
  // Counts a folder's messages after sweeping stale flags, and gives every message seen
  // for the first time its flag file "<name>.qms" (section IMAP, Recent=1). recent counts
  // the messages whose flag file this call created. threadId names the temporary file.
  struct FolderCounts {
    int64_t messages = 0;
    int64_t recent = 0;
  };
  static FolderCounts MarkRecent(const jvb::RootDir& folder, long threadId);
  // Removes a message file of the folder, taken exclusively first so that a message
  // another reader holds open is not pulled away under it. True when it is gone (also
  // when it was gone already).
  static bool RemoveMessage(const jvb::RootDir& folder, const std::string& fileName);

  // A name local delivery may use for a message file: 1-64 letters, digits, "-" or "_".
  static bool ValidMessageName(const std::string& name);

  // The unique identifier POP3 shows for a message file: the user name in upper-case
  // hexadecimal followed by the file name up to its first ".", 70 characters at most.
  // The name part always stays whole - the hexadecimal user part is shortened instead -
  // so two messages never share an identifier. A name part that is too long or holds
  // characters outside "!" to "~" is replaced by its MD5 digest.
  static constexpr size_t kMaxUniqueId = 70;
  static std::string UniqueId(const std::string& user, const std::string& fileName);

 private:
  // Moves a finished copy to its message name or the next free one (see StoreMessage).
  static StoreResult Place(const jvb::RootDir& inbox, const std::string& partial,
                           const std::string& messageName);

  std::string user_;
  std::string home_;      // real home directory; empty when a mount puts the folder elsewhere
  std::string home_rel_;  // "<user>/.mailbox" beneath home_
  std::string virtual_user_folder_;
  std::string user_folder_;
  std::string inbox_;
};
