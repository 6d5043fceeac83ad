// jvbTFileSys: the virtual file system of one session. Virtual paths ("/" separators, a
// movable virtual root) map onto real directories through the mount points of section
// "VFS" of the group configuration (key "/" is the root; longest mount point first).
// No virtual path ever maps outside the mounted directories: climbing above the root
// gives the empty path, and with no root mounted unmapped paths are "not found".
// jvbTFSFind lists a virtual directory sorted by name, with mount points inside listings.
// Links inside a mounted directory are followed only while they stay inside it.
// Objects belong to one thread (their session's).
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

class jvbTTextConfig;
namespace jvb {
class RootDir;
}

struct jvbTFSFindItem {
  time_t time = 0;
  int64_t size = 0;
  int attr = 0;  // 0x10 directory, see platform.h
  std::string name;
  std::string virtualPath;
  std::string realPath;
};

class jvbTFSFind {
 public:
  int index = -1;
  std::vector<jvbTFSFindItem> items;  // sorted by name
  const jvbTFSFindItem* Current() const {
    return index >= 0 && index < static_cast<int>(items.size()) ? &items[index] : nullptr;
  }
};

struct jvbTFSMapping {
  std::string realPath;
  std::string mountPoint;       // relative to the virtual root; empty when outside it
  std::string mountedDirectory;
  std::string rest;
};

class jvbTFileSys {
 public:
  explicit jvbTFileSys(jvbTTextConfig* config);

  std::string Normalize(const std::string& path) const;
  jvbTFSMapping Map(const std::string& path) const;
  std::string RealPath(const std::string& path) const;
  std::string RealDirectory(const std::string& path) const;  // with trailing "/"
  // The mounted directory a path lies in, opened as a root, and the path beneath it.
  // Opens, creates, renames, deletes and listings of a client's path go through the
  // root (see jvb::RootDir), so no link inside a mounted directory leads out of it.
  // False when the path maps nowhere or the directory cannot be opened.
  bool Resolve(const std::string& path, jvb::RootDir& root, std::string& rel) const;
  bool Exists(const std::string& path) const;
  bool IsDirectory(const std::string& path) const;
  bool ChangeDirectory(const std::string& path);
  bool SetCurrentDirectory(const std::string& path);
  bool SetRoot(const std::string& path);

  // Directory search over a virtual mask ("/pub/*.txt"); attrMask as in jvb::FindFiles.
  // Returns 0 when something was found, else an error number (2, 3, 18 ...).
  int FindFirst(const std::string& mask, int attrMask, jvbTFSFind& find);
  int FindNext(jvbTFSFind& find);
  void FindClose(jvbTFSFind& find);

  const std::string& CurrentDirectory() const { return current_; }
  const std::string& RootDirectory() const { return root_; }
  const std::string& VirtualRoot() const { return virtual_root_; }
  const std::string& Section() const { return section_; }

 private:
  jvbTTextConfig* config_;
  std::string section_ = "VFS";
  std::string current_ = "/";
  std::string root_;
  std::string virtual_root_ = "/";
};
