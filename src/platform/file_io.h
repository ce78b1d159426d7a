// Writing a whole buffer to a file descriptor, across short writes and interrupted calls.
// Returns false on the first error (errno tells which). Thread-safe.
#pragma once

#include <string>

bool WriteAll(int fd, const std::string& content);
