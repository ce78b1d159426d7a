#include "platform/message/base64.h"

#include <xercesc/util/Base64.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <string.h>

#include "platform/message/pstring.h"

std::string Base64Encode(const std::string& s) {
  if (s.empty()) return std::string();
  XMLSize_t length = 0;
  XMLByte* encoded =
      xercesc::Base64::encode(reinterpret_cast<const XMLByte*>(s.data()), s.size(), &length);
  if (!encoded) return std::string();
  std::string out;
  out.reserve(length);
  for (XMLSize_t i = 0; i < length; ++i) {
    if (encoded[i] != '\n') out += static_cast<char>(encoded[i]);
  }
  explicit_bzero(encoded, length);
  xercesc::XMLPlatformUtils::fgMemoryManager->deallocate(encoded);
  return out;
}

bool Base64Decode(const std::string& s, std::string& out) {
  out.clear();
  std::string compact;
  compact.reserve(s.size());
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') compact += c;
  if (compact.empty()) return true;
  XMLSize_t length = 0;
  XMLByte* decoded = xercesc::Base64::decode(reinterpret_cast<const XMLByte*>(compact.c_str()),
                                             &length, xercesc::XMLPlatformUtils::fgMemoryManager,
                                             xercesc::Base64::Conf_RFC2045);
  WipeString(compact);
  if (!decoded) return false;
  out.assign(reinterpret_cast<const char*>(decoded), length);
  explicit_bzero(decoded, length);
  xercesc::XMLPlatformUtils::fgMemoryManager->deallocate(decoded);
  return true;
}
