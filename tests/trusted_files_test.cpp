// What root opens and runs for ebs-host, judged against files, links and directories of another
// account (nobody, uid 65534): the plug-in library and Graphviz's dot. Needs root to make files of
// another account: each case skips without it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "svg_render.h"
#include "support/plugin.h"
#include "trusted_path.h"

namespace {

#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another account"

// Each row prepares a library below a private directory; the rule takes it or names what is at
// fault. A link counts as a component of its own and is judged by its owner, then followed.
TEST(OpenTrustedFile, RefusesWhatAnotherAccountCanWriteOrOwns) {
  SKIP_UNLESS_ROOT();
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
    const TrustedFile file = OpenTrustedFile(row.path);
    EXPECT_EQ(file.why, row.why);
    EXPECT_EQ(file.fd.get() >= 0, row.why.empty());
    if (file.fd.get() >= 0) {
      EXPECT_EQ(file.resolved, lib);
    }
    chmod(dir.path().c_str(), 0700);
    unlink(dir.file("link").c_str());
    unlink((sub + "/up").c_str());
    rmdir(sub.c_str());
    unlink(lib.c_str());
  }
  const TrustedFile missing = OpenTrustedFile(dir.file("missing"));
  EXPECT_FALSE(missing.refused);
  EXPECT_NE(missing.why.find("cannot be opened"), std::string::npos);
}

// A `dot` for the tests: a shell script in `dir`, both mode 0755.
void FakeDot(const TempDir& dir, const std::string& body, mode_t mode = 0755) {
  WriteFile(dir.file("dot"), "#!/bin/sh\n" + body + "\n");
  ::chmod(dir.file("dot").c_str(), mode);
  ::chmod(dir.path().c_str(), 0755);
}

TEST(SvgRender, FindsOnlyADotNoOtherAccountCanChange) {
  SKIP_UNLESS_ROOT();
  TempDir open, plain, notExecutable, linked, theirs, viaTheirs;
  FakeDot(open, "");
  ::chmod(open.path().c_str(), 0777);
  FakeDot(plain, "");
  FakeDot(notExecutable, "", 0644);
  ::chmod(linked.path().c_str(), 0755);
  ASSERT_EQ(::symlink(plain.file("dot").c_str(), linked.file("dot").c_str()), 0);
  // A link in a trusted directory that leads through a directory of another account, whose
  // link there leads back to a trusted dot: the other account could flip it at any time.
  ::chmod(theirs.path().c_str(), 0755);
  ASSERT_EQ(::symlink(plain.file("dot").c_str(), theirs.file("dot").c_str()), 0);
  ASSERT_EQ(::lchown(theirs.file("dot").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(theirs.path().c_str(), 65534, 65534), 0);
  ::chmod(viaTheirs.path().c_str(), 0755);
  ASSERT_EQ(::symlink(theirs.file("dot").c_str(), viaTheirs.file("dot").c_str()), 0);
  const struct {
    std::string searchPath, found;
  } cases[] = {
      {open.path() + ":" + plain.path(), plain.file("dot")},  // anyone may put a dot there
      {open.path(), ""},
      {".:relative:" + notExecutable.path(), ""},  // the working directory; one that cannot run
      {linked.path(), linked.file("dot")},  // a link runs by its own name (Debian's dot needs it)
      {viaTheirs.path(), ""},               // the link leads through another account's directory
  };
  for (const auto& c : cases) EXPECT_EQ(FindDot(c.searchPath, nullptr).path, c.found) << c.searchPath;
  std::string why;
  FindDot(open.path(), &why);
  EXPECT_EQ(why, open.path() + " is writable by other accounts");
  FindDot(viaTheirs.path(), &why);
  EXPECT_EQ(why, theirs.path() + " belongs to user id 65534");
}

}  // namespace
