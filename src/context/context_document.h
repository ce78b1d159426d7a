// ContextDocument: one context text at a time, parsed for lookups. It owns the parser (made on
// the first parse, after the XML platform is initialised), the current document and the handler
// that logs the parser's errors. Used by one thread at a time.
//
// Parse makes `text` the current document. It fails (no current document; the lookups then read
// "" and 0, so the caller must skip that context file) when the text is not well-formed XML,
// carries a DOCTYPE with an internal subset, breaks the bounds of context_bounds.h or makes the
// parser fail in any other way (a DOCTYPE that only names an external DTD parses; the DTD is never
// read). A refusal by the bounds logs one ERROR line (label "initParser"); any other failure logs
// the two reportError lines and one ERROR line (label "initParser"). Nothing is thrown.
//
// Lookups: the parent is the index-th element named `tagName` in the whole document; the child the
// childIndex-th element named `childName` at any depth below it, both in document order. Names
// compare exactly. A missing parent, child or attribute reads as "" (count 0). Values are UTF-8.
// A value longer than kMaxContextValueChars reads as "" too and refuses the file
// (valueOverBound()): the first such value logs an ERROR line naming the file and the bound.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"
#include "context/xml_error_handler.h"
#include "platform/host/log.h"

class ContextParser;

class ContextDocument {
 public:
  ContextDocument();
  ~ContextDocument();
  ContextDocument(const ContextDocument&) = delete;
  ContextDocument& operator=(const ContextDocument&) = delete;

  // The handler of the parser's errors, which names the file whose text comes next.
  XmlDomErrorHandler& errors() { return errors_; }

  Status Parse(const std::string& text);
  bool loaded() const { return loaded_; }
  // Whether a lookup on the current document met a value over the bound (the file is refused).
  bool valueOverBound() const { return valueOverBound_; }

  int ChildCount(std::string_view tagName, int index, std::string_view childName);
  std::string ChildValue(std::string_view tagName, int index, std::string_view childName,
                         int childIndex);
  std::string ChildAttribute(std::string_view tagName, int index, std::string_view childName,
                             int childIndex, std::string_view attributeName);

 private:
  EvEvent log_;
  XmlDomErrorHandler errors_;
  std::unique_ptr<ContextParser> parser_;
  bool loaded_ = false;
  bool valueOverBound_ = false;
};
