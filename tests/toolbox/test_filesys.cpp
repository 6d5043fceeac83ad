// Virtual file system: normalisation, mapping through mount points and a movable root,
// confinement to the mounted directories, and directory listings with mount points.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tempdir.h"
#include "toolbox/filesys.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

namespace fs = std::filesystem;

// "/" or "/seg/seg" without empty, "." or ".." segments.
bool Canonical(const std::string& v) {
  if (v == "/") return true;
  if (v.empty() || v[0] != '/') return false;
  std::string rest = v + "/";
  return rest.find("//") == std::string::npos && rest.find("/./") == std::string::npos &&
         rest.find("/../") == std::string::npos && rest.find('\\') == std::string::npos;
}

class FileSysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    tmp_ = dir_->path();
    ASSERT_FALSE(tmp_.empty());
    MakeDir("ftp/other");
    MakeDir("ftp/sub");
    MakeDir("ftp/home/bob/pub");
    MakeDir("public/docs");
    MakeFile("ftp/other/b", "bb");
    MakeFile("ftp/A.txt", "1");
    MakeFile("ftp/a.txt", "22");
    MakeFile("ftp/b.txt", "333");
    MakeFile("public/docs/a.txt", "doc");
  }
  void TearDown() override {
    config_.reset();
    dir_.reset();
  }

  std::string T(const std::string& rel) const { return tmp_ + "/" + rel; }
  void MakeDir(const std::string& rel) { fs::create_directories(T(rel)); }
  void MakeFile(const std::string& rel, const std::string& text) {
    std::ofstream(T(rel), std::ios::binary) << text;
  }
  static std::string Backslashed(std::string p) {
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
  }

  // A fresh configuration file (and object) per call, so no reload timing is involved.
  jvbTTextConfig* Config(const std::string& text) {
    config_.reset();
    std::string name = T("vfs" + std::to_string(++configs_) + ".cfg");
    std::ofstream(name, std::ios::binary) << text;
    config_ = std::make_unique<jvbTTextConfig>(name);
    return config_.get();
  }
  // Root <tmp>/ftp (given with backslashes) and /pub on <tmp>/public.
  jvbTTextConfig* StandardConfig(const std::string& more = "") {
    return Config("[VFS]\n/=" + Backslashed(T("ftp")) + "\n/pub=" + T("public") + "\n" + more);
  }

  static std::vector<std::string> Names(const jvbTFSFind& find) {
    std::vector<std::string> names;
    for (const auto& item : find.items) names.push_back(item.name);
    return names;
  }
  static const jvbTFSFindItem* Item(const jvbTFSFind& find, const std::string& name) {
    for (const auto& item : find.items)
      if (item.name == name) return &item;
    return nullptr;
  }

  std::unique_ptr<TempDir> dir_;
  std::string tmp_;
  std::unique_ptr<jvbTTextConfig> config_;
  int configs_ = 0;
};

TEST_F(FileSysTest, CreateReadsRootAndStartsAtTop) {
  jvbTFileSys vfs(StandardConfig());
  EXPECT_EQ(vfs.Section(), "VFS");
  EXPECT_EQ(vfs.CurrentDirectory(), "/");
  EXPECT_EQ(vfs.VirtualRoot(), "/");
  EXPECT_EQ(vfs.RootDirectory(), T("ftp"));  // backslashes of the value turned to "/"
}

TEST_F(FileSysTest, NormalizeSegments) {
  jvbTFileSys vfs(StandardConfig());
  EXPECT_EQ(vfs.Normalize("../x"), "");
  EXPECT_EQ(vfs.Normalize(".."), "");
  EXPECT_EQ(vfs.Normalize(""), "/");
  EXPECT_EQ(vfs.Normalize("/a/.."), "/");
  EXPECT_EQ(vfs.Normalize("/a/../.."), "");
  EXPECT_EQ(vfs.Normalize("//a///b/./"), "/a/b");
  EXPECT_EQ(vfs.Normalize("\\a\\b\\..\\c"), "/a/c");
  EXPECT_EQ(vfs.Normalize("a\\..\\..\\x"), "");
  // Only "." and ".." are special: other dotted or encoded names are plain names.
  EXPECT_EQ(vfs.Normalize("/...."), "/....");
  EXPECT_EQ(vfs.Normalize("/.../x"), "/.../x");
  EXPECT_EQ(vfs.Normalize("/%2e%2e/%2e%2e"), "/%2e%2e/%2e%2e");
  EXPECT_EQ(vfs.Normalize("/..x/x.."), "/..x/x..");
  // A NUL byte would cut the real path short ("..<NUL>" reads as ".."): impossible.
  EXPECT_EQ(vfs.Normalize(std::string("/..\0x/y", 7)), "");

  ASSERT_TRUE(vfs.ChangeDirectory("/pub"));
  EXPECT_EQ(vfs.Normalize("a/./b/../c"), "/pub/a/c");
  EXPECT_EQ(vfs.Normalize(""), "/pub");
  EXPECT_EQ(vfs.Normalize("."), "/pub");
  EXPECT_EQ(vfs.Normalize(".."), "/");
  EXPECT_EQ(vfs.Normalize("../.."), "");
  EXPECT_EQ(vfs.Normalize("/x"), "/x");
}

TEST_F(FileSysTest, MapLongestMountPointFirst) {
  jvbTFileSys vfs(StandardConfig("/pub/docs/deep=" + T("deep") + "\n/rel=relative\\dir\\\n"));

  jvbTFSMapping m = vfs.Map("/pub/docs/a.txt");
  EXPECT_EQ(m.realPath, T("public/docs/a.txt"));
  EXPECT_EQ(m.mountPoint, "/pub");
  EXPECT_EQ(m.mountedDirectory, T("public"));
  EXPECT_EQ(m.rest, "/docs/a.txt");

  m = vfs.Map("/other/b");
  EXPECT_EQ(m.realPath, T("ftp/other/b"));
  EXPECT_EQ(m.mountPoint, "/");
  EXPECT_EQ(m.mountedDirectory, T("ftp"));
  EXPECT_EQ(m.rest, "/other/b");

  m = vfs.Map("/");
  EXPECT_EQ(m.realPath, T("ftp"));
  EXPECT_EQ(m.mountPoint, "/");
  EXPECT_EQ(m.rest, "");

  m = vfs.Map("/pub");
  EXPECT_EQ(m.realPath, T("public"));
  EXPECT_EQ(m.rest, "");

  EXPECT_EQ(vfs.RealPath("/pub/docs/deep/z"), T("deep/z"));
  EXPECT_EQ(vfs.Map("/pub/docs/deep/z").mountPoint, "/pub/docs/deep");
  EXPECT_EQ(vfs.RealPath("/pub/docs/z"), T("public/docs/z"));
  // Mount points match whole segments and exact case only.
  EXPECT_EQ(vfs.RealPath("/pubx/y"), T("ftp/pubx/y"));
  EXPECT_EQ(vfs.RealPath("/PUB/docs"), T("ftp/PUB/docs"));
  // Client spellings reach the same place.
  EXPECT_EQ(vfs.RealPath("pub\\docs\\a.txt"), T("public/docs/a.txt"));
  EXPECT_EQ(vfs.RealPath("/pub//docs/./a.txt"), T("public/docs/a.txt"));
  // A relative mounted directory stays relative to the working directory.
  EXPECT_EQ(vfs.RealPath("/rel/f"), "relative/dir/f");
  EXPECT_EQ(vfs.RealPath("/rel"), "relative/dir");

  EXPECT_EQ(vfs.RealDirectory("/pub"), T("public/"));
  EXPECT_EQ(vfs.RealDirectory("/pub/docs/"), T("public/docs/"));
  EXPECT_EQ(vfs.Map("..").realPath, "");
  EXPECT_EQ(vfs.RealDirectory(".."), "");
}

TEST_F(FileSysTest, VirtualRootConfinesTheClient) {
  MakeDir("web");
  jvbTFileSys vfs(StandardConfig("/home/bob/web=" + T("web") + "\n"));

  EXPECT_FALSE(vfs.SetRoot("/home/nobody"));
  EXPECT_EQ(vfs.VirtualRoot(), "/");
  ASSERT_TRUE(vfs.SetRoot("/home/bob/"));
  EXPECT_EQ(vfs.VirtualRoot(), "/home/bob");

  EXPECT_EQ(vfs.RealPath("/"), T("ftp/home/bob"));
  EXPECT_EQ(vfs.RealPath("/x"), T("ftp/home/bob/x"));
  EXPECT_EQ(vfs.RealPath("/.."), "");
  EXPECT_EQ(vfs.RealPath("/../bob/x"), "");
  // /pub is mounted outside this root: the client's /pub is bob's own folder.
  EXPECT_EQ(vfs.RealPath("/pub/docs"), T("ftp/home/bob/pub/docs"));
  EXPECT_EQ(vfs.RealPath("/web/i.html"), T("web/i.html"));
  EXPECT_EQ(vfs.Map("/web/i.html").mountPoint, "/web");
  EXPECT_EQ(vfs.Map("/x").mountPoint, "");  // the root's key lies outside bob's root
  EXPECT_TRUE(vfs.IsDirectory("/"));
  EXPECT_TRUE(vfs.ChangeDirectory("pub"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub");
  EXPECT_EQ(vfs.RealPath("x"), T("ftp/home/bob/pub/x"));

  // A missing directory keeps the previous root; the new root is tested from the top.
  EXPECT_FALSE(vfs.SetRoot("/web"));
  EXPECT_EQ(vfs.VirtualRoot(), "/home/bob");
  EXPECT_FALSE(vfs.SetRoot("/home/bob/../../.."));
  EXPECT_EQ(vfs.VirtualRoot(), "/home/bob");
  EXPECT_TRUE(vfs.SetRoot("\\home\\bob\\pub"));
  EXPECT_EQ(vfs.VirtualRoot(), "/home/bob/pub");
  EXPECT_TRUE(vfs.SetRoot("home/bob"));
  EXPECT_EQ(vfs.VirtualRoot(), "/home/bob");

  // A mount point as the root: the client's "/" is the mount point itself.
  ASSERT_TRUE(vfs.SetRoot("/pub"));
  EXPECT_EQ(vfs.RealPath("/docs/a.txt"), T("public/docs/a.txt"));
  EXPECT_EQ(vfs.Map("/docs/a.txt").mountPoint, "/");
  EXPECT_TRUE(vfs.SetRoot("/"));
  EXPECT_EQ(vfs.RealPath("/"), T("ftp"));
}

TEST_F(FileSysTest, MissingOrEmptyRootExposesNothing) {
  for (const std::string& root : {std::string(), std::string("/=\n"), std::string("/=  \n")}) {
    SCOPED_TRACE("root line: " + root);
    jvbTFileSys vfs(Config("[VFS]\n" + root + "/pub=" + T("public") + "\n"));
    EXPECT_EQ(vfs.RootDirectory(), "");
    EXPECT_EQ(vfs.RealPath("/"), "");
    EXPECT_EQ(vfs.RealPath("/etc/passwd"), "");
    EXPECT_EQ(vfs.RealDirectory("/etc"), "");
    EXPECT_FALSE(vfs.Exists("/etc/passwd"));
    EXPECT_FALSE(vfs.IsDirectory("/"));
    EXPECT_FALSE(vfs.IsDirectory("/etc"));
    EXPECT_FALSE(vfs.ChangeDirectory("/etc"));
    EXPECT_EQ(vfs.CurrentDirectory(), "/");
    EXPECT_EQ(vfs.RealPath("/pub/docs/a.txt"), T("public/docs/a.txt"));
    // The listing of the unmapped top shows the mount points only.
    jvbTFSFind find;
    ASSERT_EQ(vfs.FindFirst("/*", 0x31, find), 0);
    EXPECT_EQ(Names(find), std::vector<std::string>{"pub"});
    EXPECT_EQ(vfs.FindFirst("/etc/*", 0x37, find), jvb::kErrPathNotFound);
  }
  // A mount point with an empty value is unmapped too, never the file-system root.
  jvbTFileSys vfs(StandardConfig("/empty=\n"));
  EXPECT_EQ(vfs.RealPath("/empty/etc/passwd"), "");
  EXPECT_EQ(vfs.RealPath("/empty"), "");
  // No section, or no configuration at all.
  jvbTFileSys none(Config("[OTHER]\n/=/\n"));
  EXPECT_EQ(none.RealPath("/etc/passwd"), "");
  jvbTFileSys null(nullptr);
  EXPECT_EQ(null.RealPath("/etc/passwd"), "");
  jvbTFSFind find;
  EXPECT_NE(null.FindFirst("/*", 0x37, find), 0);
}

TEST_F(FileSysTest, HostilePathsNeverLeaveTheMounts) {
  jvbTFileSys vfs(StandardConfig());
  const std::string ftp = T("ftp"), pub = T("public");
  auto inside = [&](const std::string& real) {
    for (const std::string& top : {ftp, pub}) {
      if (real == top || real.rfind(top + "/", 0) == 0) {
        // No segment of the rest may climb.
        std::string rest = "/" + real.substr(top.size()) + "/";
        return rest.find("/../") == std::string::npos && rest.find("/./") == std::string::npos;
      }
    }
    return false;
  };

  std::string deep_up = "/";
  for (int i = 0; i < 3000; ++i) deep_up += "d/";
  for (int i = 0; i < 3001; ++i) deep_up += "../";
  deep_up += "etc/passwd";

  const std::vector<std::string> hostile = {"..",
                                            "../..",
                                            "/..",
                                            "/a/../../etc/passwd",
                                            "\\..\\..\\etc\\passwd",
                                            "..\\..",
                                            "/pub/../../..",
                                            "pub/docs/../../../etc",
                                            "//..//",
                                            "/./../",
                                            "....",
                                            ".../...",
                                            "%2e%2e/%2e%2e/etc/passwd",
                                            "/pub/..%2f..%2fetc",
                                            "a/b/c/../../../../x",
                                            "/..;/x",
                                            "/pub/docs/..../x",
                                            "////etc//passwd",
                                            "/pub\\..\\..\\..\\etc",
                                            deep_up,
                                            std::string("/..\0/etc", 8),
                                            std::string("/\0../../etc", 11)};
  for (const std::string& cwd :
       {std::string("/"), std::string("/pub/docs"), std::string("/other")}) {
    ASSERT_TRUE(vfs.SetCurrentDirectory(cwd));
    for (const auto& p : hostile) {
      SCOPED_TRACE("cwd " + cwd + ", path " + p.substr(0, 80));
      const std::string real = vfs.RealPath(p);
      EXPECT_TRUE(real.empty() || inside(real)) << real;
      const std::string v = vfs.Normalize(p);
      EXPECT_TRUE(v.empty() || Canonical(v)) << v;
      jvbTFSFind find;
      if (vfs.FindFirst(p + "/*", 0x37, find) == 0) {
        for (const auto& item : find.items) EXPECT_TRUE(inside(item.realPath)) << item.realPath;
      }
      EXPECT_EQ(vfs.CurrentDirectory(), cwd);
      if (!vfs.ChangeDirectory(p)) {
        EXPECT_EQ(vfs.CurrentDirectory(), cwd);
      }
      EXPECT_TRUE(inside(vfs.RealPath(".")));
      ASSERT_TRUE(vfs.SetCurrentDirectory(cwd));
    }
  }
  EXPECT_EQ(vfs.RealPath(deep_up), "");
  EXPECT_EQ(vfs.RealPath("/a/../../etc/passwd"), "");
  EXPECT_EQ(vfs.RealPath("/...."), ftp + "/....");
  EXPECT_EQ(vfs.RealPath("/%2e%2e"), ftp + "/%2e%2e");

  // A long path without tricks maps in full (one pass, not one lookup per segment).
  std::string long_path;
  for (int i = 0; i < 50000; ++i) long_path += "/abc";
  EXPECT_EQ(vfs.RealPath(long_path), ftp + long_path);
  EXPECT_EQ(vfs.RealPath("/pub" + long_path), pub + long_path);
}

TEST_F(FileSysTest, ExistsIsDirectoryAndCurrentDirectory) {
  ASSERT_EQ(mkfifo(T("ftp/fifo").c_str(), 0600), 0);
  jvbTFileSys vfs(StandardConfig());
  EXPECT_TRUE(vfs.Exists("/pub/docs/a.txt"));
  EXPECT_FALSE(vfs.Exists("/pub/docs"));
  EXPECT_FALSE(vfs.Exists("/pub/docs/none.txt"));
  EXPECT_FALSE(vfs.Exists("/fifo"));  // only regular files exist as files
  EXPECT_FALSE(vfs.IsDirectory("/fifo"));
  EXPECT_TRUE(vfs.IsDirectory("/"));
  EXPECT_TRUE(vfs.IsDirectory("/pub"));
  EXPECT_TRUE(vfs.IsDirectory("/pub/docs/"));
  EXPECT_FALSE(vfs.IsDirectory("/pub/docs/a.txt"));
  EXPECT_FALSE(vfs.IsDirectory("/none"));

  EXPECT_TRUE(vfs.ChangeDirectory("pub"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub");
  EXPECT_TRUE(vfs.ChangeDirectory("docs\\"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub/docs");
  EXPECT_TRUE(vfs.Exists("a.txt"));
  EXPECT_FALSE(vfs.ChangeDirectory("../../.."));
  EXPECT_FALSE(vfs.ChangeDirectory("missing"));
  EXPECT_FALSE(vfs.ChangeDirectory("a.txt"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub/docs");
  EXPECT_TRUE(vfs.ChangeDirectory(".."));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub");
  EXPECT_TRUE(vfs.ChangeDirectory("/"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/");

  EXPECT_TRUE(vfs.SetCurrentDirectory("/pub/docs/"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub/docs");
  EXPECT_FALSE(vfs.SetCurrentDirectory("/nope"));
  EXPECT_EQ(vfs.CurrentDirectory(), "/pub/docs");
  EXPECT_TRUE(vfs.SetCurrentDirectory(""));
  EXPECT_EQ(vfs.CurrentDirectory(), "/");
}

TEST_F(FileSysTest, ListingSortedWithMountPoints) {
  MakeDir("subreal/x");
  MakeDir("inner");
  MakeDir("public2");
  jvbTFileSys vfs(StandardConfig("/sub=" + T("subreal") + "\n/ghost=" + T("missing") +
                                 "\n/other/inner=" + T("inner") + "\n/Pub=" + T("public2") +
                                 "\n/pub/=" + T("inner") + "\n/./dot=" + T("inner") + "\n"));
  jvbTFSFind find;
  ASSERT_EQ(vfs.FindFirst("/*", 0x31, find), 0);
  // Case folded order, names differing only in case side by side; the missing mounted
  // directory and keys that are not plain paths do not appear.
  EXPECT_EQ(Names(find), (std::vector<std::string>{"A.txt", "a.txt", "b.txt", "home", "other",
                                                   "Pub", "pub", "sub"}));
  const jvbTFSFindItem* pub = Item(find, "pub");
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(pub->attr & jvb::faDirectory, jvb::faDirectory);
  EXPECT_EQ(pub->realPath, T("public"));
  EXPECT_EQ(pub->virtualPath, "/pub");
  EXPECT_EQ(Item(find, "Pub")->realPath, T("public2"));
  // A real directory that is also a mount point shows the mounted directory.
  EXPECT_EQ(Item(find, "sub")->realPath, T("subreal"));
  const jvbTFSFindItem* a = Item(find, "a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->size, 2);
  EXPECT_EQ(a->attr & jvb::faDirectory, 0);
  EXPECT_EQ(a->realPath, T("ftp/a.txt"));
  EXPECT_EQ(a->virtualPath, "/a.txt");
  EXPECT_GT(a->time, 0);

  // Walk, end, close.
  ASSERT_NE(find.Current(), nullptr);
  EXPECT_EQ(find.Current()->name, "A.txt");
  size_t seen = 1;
  while (vfs.FindNext(find) == 0) ++seen;
  EXPECT_EQ(seen, find.items.size());
  EXPECT_EQ(find.Current(), nullptr);
  EXPECT_EQ(vfs.FindNext(find), jvb::kErrNoMoreFiles);
  vfs.FindClose(find);
  EXPECT_EQ(find.index, -1);
  EXPECT_TRUE(find.items.empty());

  // Masks and attributes apply to mount points as to real entries.
  ASSERT_EQ(vfs.FindFirst("/*.txt", 0x31, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"A.txt", "a.txt", "b.txt"}));
  ASSERT_EQ(vfs.FindFirst("/P?b", 0x31, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"Pub", "pub"}));
  ASSERT_EQ(vfs.FindFirst("/*", 0x21, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"A.txt", "a.txt", "b.txt"}));
  ASSERT_EQ(vfs.FindFirst("/*", 0x1037, find), 0);  // directories only
  EXPECT_EQ(Names(find), (std::vector<std::string>{"home", "other", "Pub", "pub", "sub"}));

  // A mount point appears in its own parent's listing only.
  ASSERT_EQ(vfs.FindFirst("/other/*", 0x31, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"b", "inner"}));
  EXPECT_EQ(Item(find, "inner")->virtualPath, "/other/inner");
  EXPECT_EQ(Item(find, "inner")->realPath, T("inner"));

  // Relative masks, missing directories, nothing matching.
  ASSERT_TRUE(vfs.ChangeDirectory("/pub"));
  ASSERT_EQ(vfs.FindFirst("docs/*", 0x31, find), 0);
  ASSERT_EQ(find.items.size(), 1u);
  EXPECT_EQ(find.items[0].virtualPath, "/pub/docs/a.txt");
  EXPECT_EQ(find.items[0].realPath, T("public/docs/a.txt"));
  EXPECT_EQ(vfs.FindFirst("/missing/*", 0x31, find), jvb::kErrPathNotFound);
  EXPECT_EQ(vfs.FindFirst("/*.zzz", 0x31, find), jvb::kErrFileNotFound);
  EXPECT_EQ(vfs.FindFirst("../../*", 0x31, find), jvb::kErrPathNotFound);
  EXPECT_EQ(find.index, -1);
  EXPECT_EQ(find.Current(), nullptr);

  // Under a virtual root, items carry the client's virtual paths.
  ASSERT_TRUE(vfs.SetRoot("/other"));
  ASSERT_EQ(vfs.FindFirst("/*", 0x31, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"b", "inner"}));
  EXPECT_EQ(Item(find, "b")->virtualPath, "/b");
  EXPECT_EQ(Item(find, "inner")->virtualPath, "/inner");
  EXPECT_EQ(Item(find, "inner")->realPath, T("inner"));
}

TEST_F(FileSysTest, RelativeMountsResolveAgainstTheWorkingDirectory) {
  MakeDir("inner");
  dir_->Enter();
  jvbTFileSys vfs(Config("[VFS]\n/=ftp\\\n/other/inner=./inner\n"));
  EXPECT_EQ(vfs.RootDirectory(), "ftp/");
  EXPECT_EQ(vfs.RealPath("/other/b"), "ftp/other/b");
  EXPECT_EQ(vfs.RealPath("/"), "ftp");
  EXPECT_TRUE(vfs.Exists("/other/b"));
  EXPECT_TRUE(vfs.ChangeDirectory("/other/inner"));
  EXPECT_EQ(vfs.RealPath("x"), "./inner/x");
  jvbTFSFind find;
  ASSERT_EQ(vfs.FindFirst("/other/*", 0x31, find), 0);
  EXPECT_EQ(Names(find), (std::vector<std::string>{"b", "inner"}));
  EXPECT_EQ(Item(find, "b")->realPath, "ftp/other/b");
  EXPECT_EQ(Item(find, "inner")->realPath, "./inner");
}

TEST_F(FileSysTest, SpecialEntriesAreSystemAndLeftOut) {
  ASSERT_EQ(mkfifo(T("ftp/fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink(T("nowhere").c_str(), T("ftp/dangling").c_str()), 0);
  jvbTFileSys vfs(StandardConfig());
  jvbTFSFind find;
  ASSERT_EQ(vfs.FindFirst("/*", 0x31, find), 0);
  EXPECT_EQ(Item(find, "fifo"), nullptr);
  EXPECT_EQ(Item(find, "dangling"), nullptr);
  ASSERT_EQ(vfs.FindFirst("/*", 0x37, find), 0);
  ASSERT_NE(Item(find, "fifo"), nullptr);
  ASSERT_NE(Item(find, "dangling"), nullptr);
  EXPECT_EQ(Item(find, "fifo")->attr & jvb::faSystem, jvb::faSystem);
  EXPECT_EQ(Item(find, "dangling")->attr & jvb::faSystem, jvb::faSystem);
  EXPECT_FALSE(vfs.Exists("/fifo"));
  EXPECT_FALSE(vfs.Exists("/dangling"));
}

}  // namespace

namespace {

TEST_F(FileSysTest, LinksStayInsideTheirMountedDirectory) {
  MakeDir("secret/dir");
  MakeFile("secret/file", "s");
  ASSERT_EQ(symlink(T("secret").c_str(), T("ftp/outdir").c_str()), 0);
  ASSERT_EQ(symlink("../secret/file", T("ftp/outfile").c_str()), 0);
  ASSERT_EQ(symlink("b.txt", T("ftp/infile").c_str()), 0);
  jvbTFileSys vfs(StandardConfig());
  EXPECT_TRUE(vfs.Exists("/infile"));
  EXPECT_FALSE(vfs.Exists("/outfile"));
  EXPECT_FALSE(vfs.Exists("/outdir/file"));
  EXPECT_FALSE(vfs.IsDirectory("/outdir"));
  EXPECT_FALSE(vfs.ChangeDirectory("/outdir/dir"));
  jvbTFSFind find;
  EXPECT_NE(vfs.FindFirst("/outdir/*", 0x37, find), 0);
  ASSERT_EQ(vfs.FindFirst("/*", 0x37, find), 0);
  EXPECT_EQ(Item(find, "outdir")->attr & jvb::faSystem, jvb::faSystem);
  EXPECT_EQ(Item(find, "outfile")->attr & jvb::faSystem, jvb::faSystem);
  EXPECT_EQ(Item(find, "infile")->size, 3);
  jvb::RootDir root;
  std::string rel;
  ASSERT_TRUE(vfs.Resolve("/pub/docs/a.txt", root, rel));
  EXPECT_EQ(rel, "/docs/a.txt");
  EXPECT_FALSE(root.UnlinkBeneath("../ftp/b.txt"));
}

}  // namespace
