// One initialisation of the Xerces-C++ platform per process, shared by every caller and thread.
// EnsureXercesPlatform() is cheap after the first call and thread-safe; it returns false (with
// the library's message in `error`) when the platform cannot be initialised, and never throws.
// The platform is terminated once, when this library is unloaded. A function-local static that
// holds Xerces objects (the message reader's pool of SAX2 readers) must first be made after
// EnsureXercesPlatform() returned true: it is then destroyed before the platform terminates.
#pragma once

#include <string>

bool EnsureXercesPlatform(std::string* error = nullptr);

// UTF-16 text of the parser to UTF-8, and back, whatever the process locale. Both need the
// platform initialised; they never throw and yield an empty string for text they cannot convert.
std::string Utf16ToUtf8(const char16_t* text, size_t length);
std::string Utf16ToUtf8(const char16_t* text);
std::u16string Utf8ToUtf16(const std::string& text);
