// Whether root may load or run a file: the rule that ebs-host applies to the installed plug-in
// and to Graphviz's `dot`. Free functions over the file system; thread-safe.
#pragma once

#include <string>

// `path` with every symbolic link, "." and ".." resolved; "" when it cannot be resolved.
std::string RealPath(const std::string& path);

// The directory part of `path` ("/" for a name at the root, "." for a bare name).
std::string Directory(const std::string& path);

// Why a path is not safe to load or run as root: "" when the file and every directory above it
// belong to root or to the effective user and no other account can write them (a sticky directory
// above it, such as /tmp, may be writable by others); otherwise the reason, naming the offending
// path. The path is resolved first, so links are judged by where they lead.
std::string SwappableBy(const std::string& path);
