// What root loads, runs and opens for the operator in ebs-host, against files, links and
// directories of another account (nobody, uid 65534): a plug-in it could swap is never loaded,
// a state directory, log or store it could swap is refused, the password file must be private,
// and the trust rule itself, for the plug-in and for Graphviz's dot. Root only: skipped without.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "cli_host.h"
#include "support/plugin.h"
#include "svg_render.h"
#include "base/trusted_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of another account"

// --plugin and EBS_HOST_PLUGIN name a library that another account could swap: refused before
// dlopen, with the reason and the way to load it anyway; the explicit variable loads it.
TEST(HostRootFiles, APluginAnotherAccountCanChangeIsNeverLoaded) {
  SKIP_UNLESS_ROOT();
  HostSandbox sandbox;
  TempDir dir, theirs;
  ::chmod(dir.path().c_str(), 0755);
  const std::string request = UnknownTypeRequest(dir);
  fs::copy_file(EBS_PLUGIN_PATH, dir.file("nobodys.so"));
  ::chmod(dir.file("nobodys.so").c_str(), 0666);
  ASSERT_EQ(::chown(dir.file("nobodys.so").c_str(), kNobody, kNobody), 0);
  // A link of root's to a good library, through a directory of another account.
  ::chmod(theirs.path().c_str(), 0755);
  ASSERT_EQ(::symlink(EBS_PLUGIN_PATH, theirs.file("lib.so").c_str()), 0);
  ASSERT_EQ(::chown(theirs.path().c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::symlink(theirs.file("lib.so").c_str(), dir.file("via.so").c_str()), 0);
  const struct {
    const char* what;
    std::string args, env, why;
  } rows[] = {
      {"--plugin: a 0666 library of nobody's", "--plugin " + dir.file("nobodys.so"), "",
       dir.file("nobodys.so") + " belongs to user id 65534"},
      {"EBS_HOST_PLUGIN: the same", "", "EBS_HOST_PLUGIN=" + dir.file("nobodys.so"),
       dir.file("nobodys.so") + " belongs to user id 65534"},
      {"a link through another account's directory", "--plugin " + dir.file("via.so"), "",
       theirs.path() + " belongs to user id 65534"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    HostRun r = Host(row.args + " request " + request, row.env);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("refusing to load"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("EBS_HOST_ALLOW_UNTRUSTED_PLUGIN=1"), std::string::npos) << r.err;
  }
  // --version says so too, in place of the version.
  HostRun version = Host("--plugin " + dir.file("nobodys.so") + " --version");
  EXPECT_NE(version.out.find("refused: " + dir.file("nobodys.so")), std::string::npos)
      << version.out;
  // Said explicitly, it is loaded (and refuses the request as any plug-in does).
  HostRun allowed = Host("--plugin " + dir.file("nobodys.so") + " request " + request,
                         "EBS_HOST_ALLOW_UNTRUSTED_PLUGIN=1");
  EXPECT_EQ(allowed.status, 1) << allowed.err;
}

// HOME or XDG_STATE_HOME of another account (sudo without -H): its link ~/.local/state ->
// a root-only directory must not make root create the state directory, log or store there.
TEST(HostRootFiles, AStateDirectoryOfAnotherAccountIsRefused) {
  SKIP_UNLESS_ROOT();
  HostSandbox sandbox;
  TempDir base, rootOnly;
  ::chmod(base.path().c_str(), 0755);
  const std::string home = base.file("home");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((home + "/.local").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(rootOnly.path().c_str(), (home + "/.local/state").c_str()), 0);
  for (const char* path : {"/.local/state", "/.local", ""})
    ASSERT_EQ(::lchown((home + path).c_str(), kNobody, kNobody), 0);
  TempDir dir;
  const std::string request = UnknownTypeRequest(dir);
  const struct {
    const char* what;
    std::string env, why;
  } rows[] = {
      {"HOME of another account", "HOME=" + home, home + " belongs to user id 65534"},
      {"XDG_STATE_HOME through its link", "HOME=/root XDG_STATE_HOME=" + home + "/.local/state",
       home + " belongs to user id 65534"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string env = "env -u EBS_HOST_LOG -u EBS_HOST_STORE -u XDG_STATE_HOME " + row.env;
    for (const std::string& command :
         {std::string("clients add --name c --host c.example.com"), "request " + request}) {
      HostRun r = Host(command, env);
      EXPECT_EQ(r.status, 3) << command;
      EXPECT_NE(r.err.find(row.why), std::string::npos) << command << ": " << r.err;
    }
    EXPECT_TRUE(fs::is_empty(rootOnly.path())) << "something was made through the link";
  }
}

// A store file of another account is never opened: it could hold anything a trigger can do.
TEST(HostRootFiles, AStoreOfAnotherAccountIsRefused) {
  SKIP_UNLESS_ROOT();
  HostSandbox sandbox;
  ASSERT_EQ(Host("clients add --name c --host c.example.com").status, 0);
  ASSERT_EQ(::chown(sandbox.storePath().c_str(), kNobody, kNobody), 0);
  for (const char* command : {"clients add --name d --host d.example.com", "clients list"}) {
    HostRun r = Host(command);
    EXPECT_EQ(r.status, 3) << command;
    EXPECT_NE(r.err.find("belongs to user id 65534"), std::string::npos) << r.err;
  }
}

// --db-password-file: a private regular file only (as ssh wants of a key), never through a link,
// never blocking on a FIFO; the message names the fix. The refusals come before any discovery.
TEST(HostRootFiles, APasswordFileMustBePrivate) {
  SKIP_UNLESS_ROOT();
  HostSandbox sandbox;
  TempDir dir;
  const std::string file = dir.file("pw");
  const struct {
    const char* what;
    std::function<void()> make;
    std::string why;
  } rows[] = {
      {"readable by others", [&] { WriteFile(file, "pw\n"), ::chmod(file.c_str(), 0644); },
       "(mode 0644); make it private with: chmod 600 " + file},
      {"a link to a private file",
       [&] {
         WriteFile(dir.file("real"), "pw\n");
         ::chmod(dir.file("real").c_str(), 0600);
         ::symlink(dir.file("real").c_str(), file.c_str());
       },
       file + " is a symbolic link"},
      {"a FIFO nobody writes to", [&] { ::mkfifo(file.c_str(), 0600); },
       file + " is not a regular file"},
      {"a private file of another account",
       [&] {
         WriteFile(file, "pw\n");
         ::chmod(file.c_str(), 0600);
         ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
       },
       file + " belongs to user id 65534"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ::unlink(file.c_str());
    row.make();
    HostRun r = Host("discover --sid PROD --db-user apps --db-password-file " + file);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
  }
  // The fix it names is a command a root shell takes as it is: a path with shell syntax quoted.
  const std::string odd = dir.file("p w$(id)");
  WriteFile(odd, "pw\n");
  ::chmod(odd.c_str(), 0644);
  HostRun r = Host("discover --sid PROD --db-user apps --db-password-file " + ShellWord(odd));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("make it private with: chmod 600 '" + odd + "'\n"), std::string::npos)
      << r.err;
}

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
    const Result<TrustedFile> file = OpenTrustedFile(row.path);
    EXPECT_EQ(file.ok() ? "" : file.status().message, row.why);
    EXPECT_EQ(file.ok() && file->fd.get() >= 0, row.why.empty());
    if (file.ok()) {
      EXPECT_EQ(file->resolved, lib);
    }
    for (const std::string& made : {dir.file("link"), sub, lib}) fs::remove_all(made);
  }
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
