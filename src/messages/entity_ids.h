// Client, managed-domain and app ids are 32-bit signed values carried in 64-bit fields. An id
// outside that range is never narrowed: a wrapped id would name another client or app.
#pragma once

#include <cstdint>
#include <limits>

// An id as a request or configuration carries it.
inline bool EntityIdFits(int64_t id) {
  return id >= std::numeric_limits<int32_t>::min() && id <= std::numeric_limits<int32_t>::max();
}

// An id as the client directory reports it (unsigned 64-bit).
inline bool DirectoryIdFits(unsigned long id) {
  return id <= static_cast<unsigned long>(std::numeric_limits<int32_t>::max());
}
