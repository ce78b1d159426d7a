// PXMessageBase's reading of its text: the checks made before a text is parsed (size, document
// type declaration, bounds of markup), then the reader (message_reader.h) into a message of its
// own, which replaces this one only when the whole text was valid.
#include <string>
#include <utility>

#include "platform/message/markup_bounds.h"
#include "platform/message/message.h"
#include "platform/message/message_reader.h"
#include "platform/message/xerces_platform.h"

bool PXMessageBase::unserialize(const std::string& text) { return unserializeText(text, false); }

bool PXMessageBase::unserializeAnyClass(const std::string& text) {
  return unserializeText(text, true);
}

bool PXMessageBase::unserializeText(const std::string& text, bool anyClass) {
  clear();
  // A text no longer than a tag may be cannot break the bounds of markup: it is not scanned.
  if (text.size() > kMaxTextBytes || DeclaresDocumentType(text) ||
      (text.size() > kMaxTagBytes && !MarkupWithinBounds(text)) || !EnsureXercesPlatform())
    return false;
  PXMessageBase parsed(group_, number_);
  if (!ReadMessageText(text, anyClass, parsed)) return false;
  *this = std::move(parsed);
  return true;
}

bool PXMessageBase::unserialize(const char* text) {
  return unserialize(text ? std::string(text) : std::string());
}
