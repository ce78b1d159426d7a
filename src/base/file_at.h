// Files reached through a directory descriptor: making a new file, reading a regular file up to a
// bound, removing a tree. Nothing here follows a symbolic link it was not told to follow, blocks
// on a FIFO or throws; every refusal comes with its reason, in words that name the file.
// Thread-safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/status.h"

// Creates `name` in `dirFd` exclusively (O_EXCL|O_NOFOLLOW), writes `content` and gives it
// exactly `mode`.
Status WriteNewFileAt(int dirFd, const char* name, const std::string& content, mode_t mode);

// How ReadRegularFileAt opens a file and names it in its errors.
struct ReadOptions {
  // Follow a symbolic link at the name: only for a path no other account can change (the
  // instance table, say), never below the temporary directory.
  bool followLinks = false;
  std::string shownAs;  // the words naming the file in errors; the name itself when empty
  // Keep what could be read: a larger file is read up to the bound (not refused by its size
  // first), and `content` keeps its first maxBytes bytes, or the bytes before a failed read.
  bool keepPartial = false;
};

// What ReadRegularFileAt found: the text, the file's status, and whether it could be opened at
// all (a refusal of an opened file is one of its kind, its size or a failed read).
struct FileRead {
  std::string content;
  struct stat st {};
  bool opened = false;
};

// Reads the regular file `name` in `dirFd` (AT_FDCWD for a path) without blocking on a FIFO, up
// to `maxBytes` (a longer file is an error). Unless the options keep what was read, a file whose
// size is over the bound is refused before a byte is read, and `content` is empty after every
// refusal.
Status ReadRegularFileAt(int dirFd, const char* name, size_t maxBytes, FileRead* read,
                         const ReadOptions& options = {});

// Removes the entry `name` of `dirFd` and, for a directory, everything below it, never following
// a symbolic link. Directories nested deeper than a bound, and directories below it that belong
// to another account than it does, are left with what holds them (and reported).
Status RemoveTreeAt(int dirFd, const std::string& name);

// The names in the directory `dirFd` but "." and ".."; false when it cannot be listed.
bool ListNamesAt(int dirFd, std::vector<std::string>* names);
