// Password strings of the platform. `pstring` holds a password, `bstring` a plain-text copy handed
// out by getPlainPassword(). Both wipe their bytes from memory when they are released or
// overwritten. Value types; not thread-safe for concurrent mutation.
#pragma once

#include <string>

class bstring {
 public:
  bstring() = default;
  explicit bstring(std::string plain) : plain_(std::move(plain)) {}
  bstring(const bstring& other) : plain_(other.plain_) {}
  bstring& operator=(const bstring& other);
  ~bstring();

  const char* c_str() const { return plain_.c_str(); }
  size_t size() const { return plain_.size(); }
  const std::string& str() const { return plain_; }

 private:
  std::string plain_;
};

class pstring {
 public:
  pstring() = default;
  explicit pstring(const std::string& plain) : secret_(plain) {}
  pstring(const pstring& other) : secret_(other.secret_) {}
  pstring& operator=(const pstring& other);
  ~pstring();

  void setPlainPassword(const std::string& plain);
  bstring getPlainPassword() const { return bstring(secret_); }
  bool empty() const { return secret_.empty(); }

 private:
  std::string secret_;
};

// Overwrites the bytes of `s` (including its spare capacity) with zeros before it is reused.
void WipeString(std::string& s);
