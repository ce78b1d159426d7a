// Context files: the worker's parse, lookups and tier readers over its ContextDocument
// (src/context), with the client of each node found in the client directory.
#include <exception>

#include "worker/NqEBSInterface.h"

namespace {

using Client = NqEntities::ClientEntity;

// 0 when `merge` merged the file, 1 when it refused it. Only running out of memory throws; the
// file's values are then incomplete, and the file counts as read.
template <class Merge>
int MergeFile(EvEvent& log, const char* label, const Merge& merge) {
  try {
    return merge().ok ? 0 : 1;
  } catch (const std::exception& e) {
    EvDebug::Debug(log, label, "Failed to read the context file: %s", e.what());
  } catch (...) {
    EvDebug::Debug(log, label, "Failed to read the context file");
  }
  return 0;
}

}  // namespace

bool NqEBSInterface::initParser(const std::string& xmlText) { return context.Parse(xmlText).ok; }

int NqEBSInterface::getChildCount(const char* tagName, int index, const char* childName) {
  if (!tagName || !childName) return 0;
  return context.ChildCount(tagName, index, childName);
}

std::string NqEBSInterface::getChildValue(const char* tagName, int index, const char* childName,
                                          int childIndex) {
  if (!tagName || !childName) return std::string();
  return context.ChildValue(tagName, index, childName, childIndex);
}

std::string NqEBSInterface::getChildAttribute(const std::string& tagName, int index,
                                              const std::string& childName, int childIndex,
                                              const std::string& attributeName) {
  return context.ChildAttribute(tagName, index, childName, childIndex, attributeName);
}

int NqEBSInterface::ProcessDBTierTags() {
  return MergeFile(logContext, "ProcessDBTierTags", [this] {
    return MergeDbTier(context, View(request), [this](const std::string& host, Client& client) {
      GetClientForHost(host, &client);
    });
  });
}

int NqEBSInterface::ProcessAppTierTags() {
  return MergeFile(logContext, "ProcessAppTierTags", [this] {
    return MergeAppTier(context, View(request), appNodes,
                        [this](const std::string& host, Client& client) {
                          GetClientForHost(host, &client);
                        });
  });
}
