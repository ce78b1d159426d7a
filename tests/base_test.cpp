// Base helpers: cutting text for a log line, and reading a file up to a bound.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdint>
#include <string>

#include "base/file_at.h"
#include "base/text.h"
#include "support/plugin.h"

namespace {

// Names of context files and log lines are cut to a length, never inside a UTF-8 character.
TEST(CutText, KeepsWholeCharactersAndCountsTheRest) {
  const std::string euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80";
  const struct {
    const char* what;
    std::string text;
    size_t maxBytes;
    std::string want;
  } cases[] = {
      {"a text that fits is unchanged", "abcd", 4, "abcd"},
      {"an empty text", "", 0, ""},
      {"plain bytes are cut at the length", "abcdef", 4, "abcd\xE2\x80\xA6[2 bytes cut]"},
      {"a cut after a whole character keeps it", "ab" + euro + "c", 5,
       "ab" + euro + "\xE2\x80\xA6[1 bytes cut]"},
      {"a cut inside a 3-byte character leaves it all out", "ab" + euro, 4,
       "ab\xE2\x80\xA6[3 bytes cut]"},
      {"a cut inside a 4-byte character leaves it all out", "a" + emoji + "b", 4,
       "a\xE2\x80\xA6[5 bytes cut]"},
      {"a character at the very start may go whole", emoji, 2, "\xE2\x80\xA6[4 bytes cut]"},
      // Not UTF-8: the cut moves back three bytes at most, so something is kept.
      {"a run of continuation bytes", "ab" + std::string(8, '\x80'), 6,
       "ab\x80\xE2\x80\xA6[7 bytes cut]"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutText(c.text, c.maxBytes), c.want) << c.what;
}

// Bytes this process has read so far (rchar of /proc/self/io).
uint64_t BytesRead() {
  const std::string io = ReadFile("/proc/self/io");
  const size_t at = io.find("rchar: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// The bound is exact: a file of its size is read, one byte more is refused. A file over it is
// refused by its size before a byte is read, unless the caller keeps what can be read (the
// instance table): then the first bytes up to the bound are kept.
TEST(ReadRegularFile, TheBoundIsExactAndAFileOverItIsNotRead) {
  constexpr size_t kBound = 1u << 20;
  TempDir dir;
  const struct {
    const char* what;
    size_t size;  // of a file of "x" bytes
    bool keepPartial;
    bool read;    // read whole, not refused
    size_t kept;  // bytes of content afterwards
  } cases[] = {
      {"exactly the bound", kBound, false, true, kBound},
      {"one byte over it", kBound + 1, false, false, 0},
      {"exactly the bound, kept", kBound, true, true, kBound},
      {"one byte over it, kept up to the bound", kBound + 1, true, false, kBound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("file");
    WriteFile(path, std::string(c.size, 'x'));
    FileRead file;
    const uint64_t before = BytesRead();
    const Status s =
        ReadRegularFileAt(AT_FDCWD, path.c_str(), kBound, &file, {false, "", c.keepPartial});
    EXPECT_EQ(s.ok, c.read);
    const uint64_t read = BytesRead() - before;
    EXPECT_EQ(file.content.size(), c.kept);
    EXPECT_EQ(file.content.find_first_not_of('x'), std::string::npos);
    if (!c.read) {
      EXPECT_EQ(s.message, path + " is larger than 1048576 bytes");
    }
    // Refused by its size: nothing read (but /proc/self/io itself).
    if (!c.keepPartial && !c.read) {
      EXPECT_LT(read, 4096u);
    }
  }
}

}  // namespace
