// The plug-in's version mark (see ebs_version.h): a string the linker keeps in the library file
// although nothing refers to it, and that no symbol exports.
#include "ebs_version.h"

namespace {
[[gnu::used]] const char kVersionMark[] = EBS_VERSION_MARK_PREFIX EBS_VERSION;
}  // namespace
