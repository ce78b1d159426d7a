// Whether root may load or run a file: the one rule that ebs-host applies to every plug-in it
// loads (--plugin, EBS_HOST_PLUGIN, the installed one, the build tree's) and to Graphviz's `dot`.
// The path is resolved once, a component at a time from "/" (openat with O_NOFOLLOW): every
// directory on the way, every symbolic link met on the way and the file itself must belong to
// root or the effective user and be writable by nobody else (a directory above may be a sticky
// one such as /tmp, since its other users cannot rename or remove what is not theirs). The file
// is then held open, and what is loaded or run is that descriptor, never the path again. Free
// functions over the file system; thread-safe.
#pragma once

#include <string>

#include "base/file_io.h"

struct TrustedFile {
  UniqueFd fd{-1};       // the file, open for reading (close-on-exec); -1 when refused
  std::string resolved;  // the path it resolved to, without links, "." or ".."
  bool refused = false;  // true: found, but another account could change it; false: not there
  std::string why;       // when fd is -1: the offending path and the reason
};

TrustedFile OpenTrustedFile(const std::string& path);

// The name of an open descriptor that dlopen or exec reach the very file by: /proc/self/fd/N.
std::string DescriptorPath(int fd);

// The directory part of `path` ("/" for a name at the root, "." for a bare name).
std::string Directory(const std::string& path);
