// jvbTFileSys and jvbTFSFind: virtual paths of FTP and HTTP clients onto real directories.
//
// Safety rests on three points: Normalize leaves no "..", "." or empty segment (and no
// backslash or NUL byte) in a virtual path, so the rest joined onto a mounted directory
// can never climb out of it; an empty mounted directory (a missing root or a key with an
// empty value) maps to the empty real path instead of the file-system root; and a
// listing only shows entries that Map would reach by the same name.
#include "toolbox/filesys.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"

namespace {

// A canonical virtual path: "/" or "/seg/seg" with no empty, "." or ".." segment.
bool IsCanonical(const std::string& p) {
  if (p == "/") return true;
  if (p.empty() || p[0] != '/' || p.back() == '/') return false;
  if (p.find('\\') != std::string::npos || p.find('\0') != std::string::npos) return false;
  size_t i = 1;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string_view seg(p.data() + i, j - i);
    if (seg.empty() || seg == "." || seg == "..") return false;
    i = j + 1;
  }
  return true;
}

// Parent of a canonical path ("/pub" -> "/", "/a/b" -> "/a").
std::string ParentOf(const std::string& p) {
  size_t slash = p.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : p.substr(0, slash);
}

// Client view (canonical) -> path of the whole virtual tree, in which the keys live.
std::string WithVirtualRoot(const std::string& vroot, const std::string& v) {
  if (vroot == "/") return v;
  return v == "/" ? vroot : vroot + v;
}

// "/" joined onto canonical paths without doubling it at the root.
std::string JoinVirtual(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// The directory a mount point shows, as a listing item, when it exists as a directory.
bool StatMountedDirectory(const std::string& dir, jvbTFSFindItem& item) {
  jvb::FileInfo info;
  if (!jvb::GetFileInfo(dir, info) || !info.directory) return false;
  item.attr = jvb::faDirectory;
  if ((info.mode & 0222) == 0) item.attr |= jvb::faReadOnly;
  item.size = 0;
  item.time = static_cast<time_t>(info.mtime);
  return true;
}

// The search's attribute filter: hidden, system and directory entries need their bit in
// the mask; the high byte names attributes an entry must have.
bool AttributesPass(int attr, int attrMask) {
  const int excluded = ~attrMask & (jvb::faHidden | jvb::faSystem | jvb::faDirectory);
  if ((attr & excluded) != 0) return false;
  const int required = (attrMask >> 8) & 0xFF;
  return (attr & required) == required;
}

}  // namespace

jvbTFileSys::jvbTFileSys(jvbTTextConfig* config) : config_(config) {
  std::string value;
  if (config_ != nullptr && config_->ReadValue(section_, "/", value))
    root_ = jvb::NativePath(value);
}

std::string jvbTFileSys::Normalize(const std::string& path) const {
  // A NUL byte would cut the real path short where the system sees it, turning a
  // harmless name such as "..<NUL>x" into "..": such a path is impossible.
  if (path.find('\0') != std::string::npos) return {};
  std::string p = jvb::NativePath(path);
  if (p.empty() || p[0] != '/') p = current_ + "/" + p;

  std::string out;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string_view seg(p.data() + i, j - i);
    if (seg == "..") {
      if (out.empty()) return {};  // above the root
      out.erase(out.rfind('/'));
    } else if (!seg.empty() && seg != ".") {
      out += '/';
      out += seg;
    }
    i = j + 1;
  }
  return out.empty() ? std::string("/") : out;
}

jvbTFSMapping jvbTFileSys::Map(const std::string& path) const {
  jvbTFSMapping m;
  std::string v = Normalize(path);
  if (v.empty()) return m;
  const std::string full = WithVirtualRoot(virtual_root_, v);

  // Longest mount point first. Only prefixes that are keys are looked up, so a long
  // path costs one pass instead of one lookup per segment.
  std::set<std::string, std::less<>> keys;
  if (config_ != nullptr) {
    for (auto& kv : config_->SectionKeys(section_)) {
      if (kv.first != "/") keys.insert(std::move(kv.first));
    }
  }
  std::string key = "/";
  std::string mounted = root_;
  size_t cut = full.size();
  while (cut > 0) {
    std::string_view prefix(full.data(), cut);
    std::string value;
    if (keys.count(prefix) != 0 && config_->ReadValue(section_, std::string(prefix), value)) {
      key.assign(prefix);
      mounted = jvb::NativePath(value);
      break;
    }
    cut = prefix.rfind('/');  // 0 at the first segment: the root is left
  }
  // The rest is "" when the whole path is a key, and for the root itself.
  m.rest = full == "/" ? std::string() : full.substr(cut);
  m.mountedDirectory = mounted;
  // An empty mounted directory is unmapped, never the file-system root.
  if (!mounted.empty()) m.realPath = jvbJoinPath(jvbCutSep(mounted), m.rest);

  if (virtual_root_ == "/") {
    m.mountPoint = key;
  } else if (key == virtual_root_) {
    m.mountPoint = "/";
  } else if (key.size() > virtual_root_.size() &&
             key.compare(0, virtual_root_.size(), virtual_root_) == 0 &&
             key[virtual_root_.size()] == '/') {
    m.mountPoint = key.substr(virtual_root_.size());
  }
  return m;
}

std::string jvbTFileSys::RealPath(const std::string& path) const { return Map(path).realPath; }

std::string jvbTFileSys::RealDirectory(const std::string& path) const {
  std::string real = RealPath(path);
  if (!real.empty() && real.back() != '/') real += '/';
  return real;
}

bool jvbTFileSys::Resolve(const std::string& path, jvb::RootDir& root, std::string& rel) const {
  root.Close();
  const jvbTFSMapping m = Map(path);
  if (m.realPath.empty()) return false;
  rel = m.rest;
  return root.Open(jvbCutSep(m.mountedDirectory));
}

bool jvbTFileSys::Exists(const std::string& path) const {
  jvb::RootDir root;
  std::string rel;
  jvb::FileInfo info;
  return Resolve(path, root, rel) && root.InfoBeneath(rel, info) && info.regular;
}

bool jvbTFileSys::IsDirectory(const std::string& path) const {
  jvb::RootDir root;
  std::string rel;
  return Resolve(path, root, rel) && root.IsDirectoryBeneath(rel);
}

bool jvbTFileSys::ChangeDirectory(const std::string& path) {
  std::string v = Normalize(path);
  if (v.empty() || !IsDirectory(v)) return false;
  current_ = std::move(v);
  return true;
}

bool jvbTFileSys::SetCurrentDirectory(const std::string& path) {
  // Stored in normal form, so that a later relative path is joined onto a clean base.
  std::string v = Normalize(jvbCutSepRoot(path));
  if (v.empty() || !IsDirectory(v)) return false;
  current_ = std::move(v);
  return true;
}

bool jvbTFileSys::SetRoot(const std::string& path) {
  // The new root is a path of the whole tree: test it from the top, not from the
  // client's current directory or through the previous root.
  std::string p = jvbCutSepRoot(jvb::NativePath(path));
  if (p.empty() || p[0] != '/') p = "/" + p;
  const std::string v = Normalize(p);
  const std::string previous = virtual_root_;
  virtual_root_ = "/";
  if (!v.empty() && IsDirectory(v)) {
    virtual_root_ = v;
    return true;
  }
  virtual_root_ = previous;
  return false;
}

int jvbTFileSys::FindFirst(const std::string& mask, int attrMask, jvbTFSFind& find) {
  FindClose(find);
  const std::string v = Normalize(mask);
  if (v.empty()) return jvb::kErrPathNotFound;
  if (v == "/") return jvb::kErrFileNotFound;  // no name part to match
  const size_t slash = v.rfind('/');
  const std::string dir = slash == 0 ? std::string("/") : v.substr(0, slash);
  const std::string pattern = v.substr(slash + 1);
  const std::string real_dir = RealPath(dir);
  const std::string full_dir = WithVirtualRoot(virtual_root_, dir);

  // Mount points whose parent is this directory, by name. They stand in for any real
  // entry of the same name, as Map sends that name to the mounted directory.
  std::map<std::string, jvbTFSFindItem> mounts;
  if (config_ != nullptr) {
    for (const auto& kv : config_->SectionKeys(section_)) {
      const std::string& key = kv.first;
      if (key == "/" || !IsCanonical(key) || ParentOf(key) != full_dir) continue;
      const std::string name = key.substr(key.rfind('/') + 1);
      if (mounts.count(name) != 0) continue;  // duplicate key: one item
      jvbTFSFindItem item;
      item.name = name;
      std::string value;
      if (config_->ReadValue(section_, key, value))
        item.realPath = jvbCutSep(jvb::NativePath(value));
      mounts.emplace(name, std::move(item));
    }
  }

  int rc = jvb::kErrPathNotFound;
  std::vector<jvb::DirEntry> entries;
  jvb::RootDir root;
  std::string rel;
  if (Resolve(dir, root, rel)) rc = root.ListBeneath(rel, pattern, attrMask, entries);
  for (auto& e : entries) {
    // A name holding a backslash cannot be reached: clients' backslashes are separators.
    if (e.name.find('\\') != std::string::npos || mounts.count(e.name) != 0) continue;
    if (!AttributesPass(e.attr, attrMask)) continue;
    jvbTFSFindItem item;
    item.time = e.mtime;
    item.size = e.size;
    item.attr = e.attr;
    item.virtualPath = JoinVirtual(dir, e.name);
    item.realPath = jvbJoinPath(real_dir, e.name);
    item.name = std::move(e.name);
    find.items.push_back(std::move(item));
  }
  for (auto& [name, item] : mounts) {
    if (item.realPath.empty() || !jvb::WildcardMatch(pattern, name)) continue;
    if (!StatMountedDirectory(item.realPath, item) || !AttributesPass(item.attr, attrMask))
      continue;
    item.virtualPath = JoinVirtual(dir, name);
    find.items.push_back(std::move(item));
  }
  // Same order as the system search: case folded, then raw bytes, so names differing
  // only in case stand side by side.
  std::stable_sort(find.items.begin(), find.items.end(),
                   [](const jvbTFSFindItem& a, const jvbTFSFindItem& b) {
                     return jvb::CompareNoCase(a.name, b.name) < 0;
                   });
  if (find.items.empty()) return rc != 0 ? rc : jvb::kErrFileNotFound;
  find.index = 0;
  return 0;
}

int jvbTFileSys::FindNext(jvbTFSFind& find) {
  if (find.index < 0) return jvb::kErrNoMoreFiles;
  if (find.index < static_cast<int>(find.items.size())) ++find.index;
  return find.index < static_cast<int>(find.items.size()) ? 0 : jvb::kErrNoMoreFiles;
}

void jvbTFileSys::FindClose(jvbTFSFind& find) {
  find.items.clear();
  find.index = -1;
}
