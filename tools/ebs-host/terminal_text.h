// Text that ebs-host prints, made safe for a terminal. Every value that comes from an instance,
// the store or a request (host names, paths, record names, log lines, error causes) goes through
// Shown before it is printed for people: control characters (C0, DEL, C1), the bidirectional
// overrides and isolates (U+202A-U+202E, U+2066-U+2069) and bytes that are not UTF-8 are
// written as visible escapes, so no value can move the cursor, change colours, hide text or
// start a line of its own. The documents for programs keep their values and lose only the raw
// characters: JsonForTerminal and XmlForTerminal write them as escapes of their own syntax.
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// `value` on one line: "\n", "\r", "\t", "\e" for those C0 characters, "\xNN" for the other C0
// characters, DEL and every byte that is not part of well-formed UTF-8, "\uNNNN" for the C1
// characters and the bidirectional controls. Everything else, a backslash included, is kept.
std::string Shown(std::string_view value);

// Whether Shown writes the character `cp` as an escape: a character that a terminal acts upon
// (C0, DEL, C1), or that reorders the text around it (the bidirectional controls).
bool ShownAsEscape(uint32_t cp);

// The columns `text` takes on a terminal: its characters (a character of several bytes counts
// once). For text that Shown made.
size_t ShownWidth(std::string_view text);

// A JSON text with DEL, the C1 characters and the bidirectional controls inside its strings
// written as \u escapes: the same document, with nothing that a terminal acts upon.
std::string JsonForTerminal(std::string json);

// A message text with DEL, the C1 characters, the bidirectional controls and any raw C0
// character but tab and line feed written as character references (the reader gives the same
// values back; the writer never writes the C0 ones raw); a byte that is not UTF-8 becomes U+FFFD.
std::string XmlForTerminal(std::string_view xml);

// The command line `words` for a POSIX shell: each word as it is when it holds only characters
// without meaning to the shell, otherwise in single quotes; then made Shown.
std::string ShellCommand(std::initializer_list<std::string_view> words);
