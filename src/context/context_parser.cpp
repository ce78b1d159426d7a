#include "context/context_parser.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "platform/message/xerces_platform.h"

namespace {

std::u16string_view View(const XMLCh* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

// The first element among `node` and its following siblings, or null. Elements below entity
// references are not looked for: a context text declares no entity (an internal subset is
// refused before parsing), so its documents have no such references.
const xercesc::DOMElement* ElementFrom(const xercesc::DOMNode* node) {
  while (node && node->getNodeType() != xercesc::DOMNode::ELEMENT_NODE)
    node = node->getNextSibling();
  return static_cast<const xercesc::DOMElement*>(node);
}

}  // namespace

void ContextIndex::Build(const xercesc::DOMDocument& document) {
  Clear();
  built_ = true;
  const xercesc::DOMElement* root = document.getDocumentElement();
  if (!root) return;
  // The document pools its names, so most elements of one name share one pointer: each distinct
  // pointer is converted once.
  std::unordered_map<const XMLCh*, std::vector<uint32_t>*> byPointer;
  std::array<std::pair<const XMLCh*, std::vector<uint32_t>*>, 64> recent{};
  std::vector<uint32_t> open;  // positions of the elements whose subtree is being walked
  const xercesc::DOMElement* element = root;
  while (element) {
    if (entries_.size() >= std::numeric_limits<uint32_t>::max()) break;
    const uint32_t position = static_cast<uint32_t>(entries_.size());
    entries_.push_back({element, position, position});
    const XMLCh* tagName = element->getTagName();
    // A small table by pointer spares most lookups in the map.
    auto& cached = recent[(reinterpret_cast<uintptr_t>(tagName) >> 4) & (recent.size() - 1)];
    std::vector<uint32_t>*& positions =
        cached.first == tagName ? cached.second : byPointer[tagName];
    if (!positions) {
      std::string name = Utf16ToUtf8(element->getTagName());
      auto found = byName_.find(name);
      if (found == byName_.end()) {
        names_.push_back(std::move(name));
        found = byName_.emplace(names_.back(), std::vector<uint32_t>()).first;
      }
      positions = &found->second;
    }
    positions->push_back(position);
    cached = {tagName, positions};
    if (const xercesc::DOMElement* child = ElementFrom(element->getFirstChild())) {
      open.push_back(position);
      element = child;
      continue;
    }
    // Leaf: move on to the next sibling, closing the subtrees that end here.
    for (;;) {
      if (element == root) {
        element = nullptr;
        break;
      }
      if (const xercesc::DOMElement* next = ElementFrom(element->getNextSibling())) {
        element = next;
        break;
      }
      if (open.empty()) {  // cannot happen: the root is the first element opened
        element = nullptr;
        break;
      }
      const uint32_t parent = open.back();
      open.pop_back();
      entries_[parent].last = static_cast<uint32_t>(entries_.size() - 1);
      element = entries_[parent].element;
    }
  }
  for (uint32_t parent : open) entries_[parent].last = static_cast<uint32_t>(entries_.size() - 1);
}

void ContextIndex::Clear() {
  built_ = false;
  recentNames_.fill({});
  lastBelow_ = {};
  entries_.clear();
  byName_.clear();
  names_.clear();
}

const std::vector<uint32_t>* ContextIndex::Named(std::string_view name) const {
  // Readers ask for the same few names in turn (a parent, then its children one by one).
  for (const auto& [cachedName, positions] : recentNames_)
    if (positions && cachedName == name) return positions;
  auto found = byName_.find(name);
  if (found == byName_.end()) return nullptr;
  auto& slot = recentNames_[nextRecentName_++ % recentNames_.size()];
  slot = {found->first, &found->second};
  return &found->second;
}

const ContextIndex::Entry* ContextIndex::Find(std::string_view name, int index) const {
  const std::vector<uint32_t>* positions = Named(name);
  if (!positions || index < 0 || static_cast<size_t>(index) >= positions->size()) return nullptr;
  return &entries_[(*positions)[static_cast<size_t>(index)]];
}

std::pair<size_t, size_t> ContextIndex::Below(const std::vector<uint32_t>& positions,
                                              const Entry& parent) const {
  // A reader walks the children of one parent by index: the range is found once.
  if (lastBelow_.positions == &positions && lastBelow_.parent == parent.position)
    return lastBelow_.range;
  lastBelow_.positions = &positions;
  lastBelow_.parent = parent.position;
  lastBelow_.range = BelowUncached(positions, parent);
  return lastBelow_.range;
}

std::pair<size_t, size_t> ContextIndex::BelowUncached(const std::vector<uint32_t>& positions,
                                                      const Entry& parent) const {
  auto first = std::upper_bound(positions.begin(), positions.end(), parent.position);
  auto end = std::upper_bound(first, positions.end(), parent.last);
  return {static_cast<size_t>(first - positions.begin()),
          static_cast<size_t>(end - positions.begin())};
}

size_t ContextIndex::CountBelow(const Entry& parent, std::string_view name) const {
  const std::vector<uint32_t>* positions = Named(name);
  if (!positions) return 0;
  const auto [first, end] = Below(*positions, parent);
  return end - first;
}

const ContextIndex::Entry* ContextIndex::NthBelow(const Entry& parent, std::string_view name,
                                                  int index) const {
  const std::vector<uint32_t>* positions = Named(name);
  if (!positions || index < 0) return nullptr;
  const auto [first, end] = Below(*positions, parent);
  if (static_cast<size_t>(index) >= end - first) return nullptr;
  return &entries_[(*positions)[first + static_cast<size_t>(index)]];
}

ContextParser::ContextParser() {
  securityManager.setEntityExpansionLimit(kEntityExpansionLimit);
  Harden();
}

void ContextParser::Harden() {
  setValidationScheme(Val_Never);
  setDoNamespaces(false);
  setDoSchema(false);
  setLoadExternalDTD(false);
  setDisableDefaultEntityResolution(true);
  setSecurityManager(&securityManager);
  setCreateCommentNodes(false);
}

const ContextIndex* ContextParser::Index() {
  const xercesc::DOMDocument* document = getDocument();
  if (!document) return nullptr;
  if (!index_.built()) index_.Build(*document);
  return &index_;
}

void ContextParser::ReleaseDocuments() {
  index_.Clear();
  resetDocumentPool();
}

bool ElementText(const xercesc::DOMElement& element, size_t maxChars, std::string& value) {
  value.clear();
  const xercesc::DOMNode* node = element.getFirstChild();
  if (!node) return true;
  // The common case: one text node and nothing else.
  const auto type = node->getNodeType();
  if (!node->getNextSibling() &&
      (type == xercesc::DOMNode::TEXT_NODE || type == xercesc::DOMNode::CDATA_SECTION_NODE)) {
    if (View(node->getNodeValue()).size() > maxChars) return false;
    value = Utf16ToUtf8(node->getNodeValue());
    return true;
  }

  std::u16string text;
  while (node) {
    switch (node->getNodeType()) {
      case xercesc::DOMNode::TEXT_NODE:
      case xercesc::DOMNode::CDATA_SECTION_NODE:
        text += View(node->getNodeValue());
        if (text.size() > maxChars) return false;
        break;
      case xercesc::DOMNode::ELEMENT_NODE:
      case xercesc::DOMNode::ENTITY_REFERENCE_NODE:
        if (const xercesc::DOMNode* child = node->getFirstChild()) {
          node = child;
          continue;
        }
        break;
      default:  // comments and processing instructions carry no text
        break;
    }
    // Next node in document order within `element`, without recursion.
    while (node != &element && !node->getNextSibling()) node = node->getParentNode();
    node = node == &element ? nullptr : node->getNextSibling();
  }
  value = Utf16ToUtf8(text.data(), text.size());
  return true;
}
