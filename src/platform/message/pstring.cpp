#include "platform/message/pstring.h"

#include <string.h>

void WipeString(std::string& s) {
  s.resize(s.capacity());  // never reallocates; makes the spare bytes addressable
  explicit_bzero(s.data(), s.size());
  s.clear();
}

bstring& bstring::operator=(const bstring& other) {
  if (this != &other) {
    WipeString(plain_);
    plain_ = other.plain_;
  }
  return *this;
}

bstring::~bstring() { WipeString(plain_); }

pstring& pstring::operator=(const pstring& other) {
  if (this != &other) setPlainPassword(other.secret_);
  return *this;
}

pstring::~pstring() { WipeString(secret_); }

void pstring::setPlainPassword(const std::string& plain) {
  WipeString(secret_);
  secret_ = plain;
}
