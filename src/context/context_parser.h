// ContextParser: the DOM parser of one worker for context files, set up for texts that come from
// outside the process. External entities and DTDs are never fetched or read (a document type
// declaration that names an external DTD parses as if it named none; an external entity is an
// error), entity expansion is bounded and comments are not kept. It also holds an index of the
// current document's elements by name (ContextIndex), built on first use and dropped with the
// document, so that the worker's lookups cost a hash probe and a binary search instead of a walk
// of the document. Made and destroyed between the initialisation and the termination of the
// Xerces platform. Not thread-safe: one worker, one thread.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/SecurityManager.hpp>

// Elements of one document in document order, with the extent of every element's subtree, and
// the positions of the elements of each name (names in UTF-8, compared exactly). Pointers stay
// valid while the document lives; Clear() before the document is released.
class ContextIndex {
 public:
  struct Entry {
    const xercesc::DOMElement* element;
    uint32_t position;  // in document order over all elements
    uint32_t last;      // position of the last element of its subtree
  };

  // Walks the document once, without recursion.
  void Build(const xercesc::DOMDocument& document);
  void Clear();
  bool built() const { return built_; }

  // The index-th element named `name` in the whole document, or null.
  const Entry* Find(std::string_view name, int index) const;
  // Number of elements named `name` below `parent` (at any depth, the parent itself excluded).
  size_t CountBelow(const Entry& parent, std::string_view name) const;
  // The index-th of them, or null.
  const Entry* NthBelow(const Entry& parent, std::string_view name, int index) const;

 private:
  const std::vector<uint32_t>* Named(std::string_view name) const;
  std::pair<size_t, size_t> Below(const std::vector<uint32_t>& positions,
                                  const Entry& parent) const;
  std::pair<size_t, size_t> BelowUncached(const std::vector<uint32_t>& positions,
                                          const Entry& parent) const;

  bool built_ = false;
  std::vector<Entry> entries_;
  std::deque<std::string> names_;  // distinct element names; the map's keys point into them
  std::unordered_map<std::string_view, std::vector<uint32_t>> byName_;
  // Lookups just made, kept to answer the next ones without hashing or searching; the lookups
  // stay const, hence mutable (one worker, one thread).
  mutable std::array<std::pair<std::string_view, const std::vector<uint32_t>*>, 4> recentNames_{};
  mutable size_t nextRecentName_ = 0;
  struct LastBelow {
    const std::vector<uint32_t>* positions = nullptr;
    uint32_t parent = 0;
    std::pair<size_t, size_t> range;
  };
  mutable LastBelow lastBelow_;
};

// Keeps the security manager alive until the parser that uses it is gone: as the first base of
// ContextParser it is made before and destroyed after the parser base.
struct ContextParserLimits {
  xercesc::SecurityManager securityManager;
};

class ContextParser : private ContextParserLimits, public xercesc::XercesDOMParser {
 public:
  // Entity expansions allowed in one document; context files use none beyond the built-in ones.
  static constexpr XMLSize_t kEntityExpansionLimit = 100;

  ContextParser();

  // Applies the settings for untrusted texts; called before every parse.
  void Harden();

  // Index of the current document (built on first use); null when there is none.
  const ContextIndex* Index();
  // Releases every document the parser holds, and the index with them.
  void ReleaseDocuments();

 private:
  ContextIndex index_;
};

// All text below `element` in document order (text and CDATA, not comments), in UTF-8. Returns
// false, with `value` empty, when the text is longer than `maxChars` UTF-16 units.
bool ElementText(const xercesc::DOMElement& element, size_t maxChars, std::string& value);
