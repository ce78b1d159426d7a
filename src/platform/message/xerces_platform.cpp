#include "platform/message/xerces_platform.h"

#include <mutex>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLString.hpp>

namespace {

struct PlatformState {
  std::once_flag once;
  bool ok = false;
  std::string error;

  ~PlatformState() {
    if (!ok) return;
    try {
      xercesc::XMLPlatformUtils::Terminate();
    } catch (...) {
      // Nothing can be reported while the library is being unloaded.
    }
  }
};

PlatformState& State() {
  static PlatformState state;
  return state;
}

}  // namespace

bool EnsureXercesPlatform(std::string* error) {
  PlatformState& state = State();
  std::call_once(state.once, [&state] {
    try {
      xercesc::XMLPlatformUtils::Initialize();
      state.ok = true;
    } catch (const xercesc::XMLException& e) {
      state.error = Utf16ToUtf8(e.getMessage());
    } catch (...) {
      state.error = "unknown error";
    }
  });
  if (!state.ok && error) *error = state.error;
  return state.ok;
}

std::string Utf16ToUtf8(const char16_t* text, size_t length) {
  if (!text || length == 0) return std::string();
  // Most text is ASCII: copy it without setting up a transcoder.
  std::string ascii(length, '\0');
  size_t i = 0;
  for (; i < length && text[i] < 0x80; ++i) ascii[i] = static_cast<char>(text[i]);
  if (i == length) return ascii;
  try {
    xercesc::TranscodeToStr out(text, length, "UTF-8");
    return std::string(reinterpret_cast<const char*>(out.str()), out.length());
  } catch (...) {
    return std::string();
  }
}

std::string Utf16ToUtf8(const char16_t* text) {
  if (!text) return std::string();
  return Utf16ToUtf8(text, std::char_traits<char16_t>::length(text));
}

std::u16string Utf8ToUtf16(const std::string& text) {
  if (text.empty()) return std::u16string();
  std::u16string ascii(text.size(), u'\0');
  size_t i = 0;
  for (; i < text.size() && static_cast<unsigned char>(text[i]) < 0x80; ++i) ascii[i] = text[i];
  if (i == text.size()) return ascii;
  try {
    xercesc::TranscodeFromStr out(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                  "UTF-8");
    return std::u16string(out.str(), out.length());
  } catch (...) {
    return std::u16string();
  }
}
