// ebs-host's reading of the plug-in's version mark from a library file (what --version prints),
// and its judgement of the places another account could swap a library in.
#include "plugin_locator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/trusted_dir.h"
#include "ebs_version.h"
#include "support/plugin.h"

namespace {

const std::string kMark = EBS_VERSION_MARK_PREFIX;
const size_t kBlock = size_t{1} << 20;  // the reader's block

TEST(PluginVersion, ReadsTheMarkWhereverItIsAndRefusesWhatIsNoMark) {
  TempDir dir;
  struct Row {
    const char* what;
    std::string content;
    std::string version;  // expected; "" for none
  } rows[] = {
      // The mark of a real build, among other strings.
      {"plain", std::string("\0junk\0", 6) + kMark + "1.0.0" + std::string(1, '\0') + "tail",
       "1.0.0"},
      // The mark straddles the first block's end: found whole.
      {"across blocks", std::string(kBlock - 10, 'x') + kMark + "2.3.4" + std::string(1, '\0'),
       "2.3.4"},
      // The version straddles it, the prefix in the first block.
      {"version across",
       std::string(kBlock - kMark.size() - 2, 'x') + kMark + "5.6.7" + std::string(1, '\0'),
       "5.6.7"},
      // The prefix alone (ebs-host's own copy of it) is no mark; a later real one counts.
      {"bare prefix first", kMark + std::string(1, '\0') + kMark + "8.9" + std::string(1, '\0'),
       "8.9"},
      // No NUL within 64 bytes: no version, however long the file.
      {"unterminated", kMark + std::string(3 * kBlock, 'v'), ""},
      // No mark at all.
      {"no mark", std::string(2 * kBlock, 'y'), ""},
      // A mark cut off by the end of the file.
      {"truncated", kMark + "1.0", ""},
  };
  for (const Row& row : rows) {
    const std::string path = dir.file("lib.so");
    WriteFile(path, row.content);
    EXPECT_EQ(PluginVersion(path), row.version) << row.what;
  }
  // Neither a missing file, a directory nor a FIFO (which must not block) has a version.
  EXPECT_EQ(PluginVersion(dir.file("missing")), "");
  EXPECT_EQ(PluginVersion(dir.path()), "");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(PluginVersion(dir.file("fifo")), "");
}

// A refusal (a file EBS_HOST_ALLOW_UNTRUSTED_PLUGIN may still load) is told from no file at all.
TEST(OpenTrustedFile, TellsARefusalFromAFileThatIsNotThere) {
  TempDir dir;
  WriteFile(dir.file("shared.so"), "x");
  ASSERT_EQ(chmod(dir.file("shared.so").c_str(), 0664), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const struct {
    std::string path, why;
    bool refused;
  } rows[] = {
      // Not there, or nothing to load: no allowance loads it.
      {dir.file("missing"), dir.file("missing") + " cannot be opened: No such file or directory",
       false},
      {dir.path(), dir.path() + " is a directory", false},
      {dir.file("shared.so/x"), dir.file("shared.so") + " is not a directory", false},
      // There, but another account could change it or block the reader.
      {dir.file("shared.so"), dir.file("shared.so") + " is writable by other accounts", true},
      {dir.file("fifo"), dir.file("fifo") + " is not a regular file", true},
  };
  for (const auto& row : rows) {
    bool refused = !row.refused;
    const Result<TrustedFile> file = OpenTrustedFile(row.path, &refused);
    EXPECT_EQ(file.ok() ? "" : file.status().message, row.why);
    EXPECT_EQ(refused, row.refused) << row.path;
  }
}

// Each row prepares a library below a private directory; the rule takes it or names what is at
// fault. A link counts as a component of its own and is judged by its owner, then followed.
TEST(OpenTrustedFile, RefusesWhatAnotherAccountCanWriteOrOwns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files of another account";
  TempDir dir;  // private, below a sticky /tmp
  const std::string lib = dir.file("lib.so"), sub = dir.file("sub");
  const struct {
    const char* what;
    std::function<void()> prepare;
    std::string path, why;  // why: "" when taken
  } rows[] = {
      {"a file of the user's own, in the user's directory", [] {}, lib, ""},
      {"group-writable file", [&] { chmod(lib.c_str(), 0664); }, lib,
       lib + " is writable by other accounts"},
      {"a world-writable directory above", [&] { chmod(dir.path().c_str(), 0777); }, lib,
       dir.path() + " is writable by other accounts"},
      {"a sticky directory above, as /tmp", [&] { chmod(dir.path().c_str(), 01777); }, lib, ""},
      {"a 0666 file of nobody's in it", [&] {
         chmod(dir.path().c_str(), 01777);
         chmod(lib.c_str(), 0666);
         ASSERT_EQ(chown(lib.c_str(), 65534, 65534), 0);
       },
       lib, lib + " belongs to user id 65534"},
      {"a link to a bad file: judged by where it leads",
       [&] {
         chmod(lib.c_str(), 0666);
         ASSERT_EQ(symlink(lib.c_str(), dir.file("link").c_str()), 0);
       },
       dir.file("link"), lib + " is writable by other accounts"},
      {"a link of another account, to a good file",
       [&] {
         ASSERT_EQ(symlink(lib.c_str(), dir.file("link").c_str()), 0);
         ASSERT_EQ(lchown(dir.file("link").c_str(), 65534, 65534), 0);
       },
       dir.file("link"), dir.file("link") + " belongs to user id 65534"},
      {"a relative link through a directory of another account",
       [&] {
         mkdir(sub.c_str(), 0755);
         ASSERT_EQ(chown(sub.c_str(), 65534, 65534), 0);
         ASSERT_EQ(symlink("../lib.so", (sub + "/up").c_str()), 0);
         ASSERT_EQ(symlink("sub/up", dir.file("link").c_str()), 0);
       },
       dir.file("link"), sub + " belongs to user id 65534"},
      {"a relative link with ..", [&] {
         mkdir(sub.c_str(), 0755);
         ASSERT_EQ(symlink("../lib.so", (sub + "/up").c_str()), 0);
       },
       sub + "/up", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFile(lib, "x");
    chmod(lib.c_str(), 0644);
    chmod(dir.path().c_str(), 0700);
    row.prepare();
    const Result<TrustedFile> file = OpenTrustedFile(row.path);
    EXPECT_EQ(file.ok() ? "" : file.status().message, row.why);
    EXPECT_EQ(file.ok() && file->fd.get() >= 0, row.why.empty());
    if (file.ok()) {
      EXPECT_EQ(file->resolved, lib);
    }
    chmod(dir.path().c_str(), 0700);
    unlink(dir.file("link").c_str());
    unlink((sub + "/up").c_str());
    rmdir(sub.c_str());
    unlink(lib.c_str());
  }
}

}  // namespace
