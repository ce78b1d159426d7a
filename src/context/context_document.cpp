#include "context/context_document.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "context/context_bounds.h"
#include "context/context_parser.h"
#include "platform/message/xerces_platform.h"

namespace {

// The child element of a lookup, or null when the parent or the child is not there.
const xercesc::DOMElement* FindChild(const ContextIndex* index, std::string_view tagName,
                                     int parentIndex, std::string_view childName, int childIndex) {
  const ContextIndex::Entry* parent = index ? index->Find(tagName, parentIndex) : nullptr;
  if (!parent) return nullptr;
  const ContextIndex::Entry* child = index->NthBelow(*parent, childName, childIndex);
  return child ? child->element : nullptr;
}

// The value of `attribute`. The common case, one text node, is read without the casts that
// DOMAttr::getValue makes.
const XMLCh* AttributeValue(const xercesc::DOMAttr& attribute) {
  const xercesc::DOMNode* text = attribute.getFirstChild();
  if (text && !text->getNextSibling() && text->getNodeType() == xercesc::DOMNode::TEXT_NODE)
    return text->getNodeValue();
  return attribute.getValue();
}

}  // namespace

ContextDocument::ContextDocument() = default;
ContextDocument::~ContextDocument() = default;

Status ContextDocument::Parse(const std::string& text) {
  // The previous document goes first, whatever happens to this one.
  loaded_ = false;
  valueOverBound_ = false;
  std::string failure;
  bool parserBroken = false, refused = false;
  try {
    if (parser_) parser_->ReleaseDocuments();
    errors_.setXMLContent(text);
    if (Status bounds = CheckContextBounds(text); !bounds.ok) {
      // Refused before parsing: the parser's time and memory would grow beyond reason.
      failure = "The " + errors_.describeContent() + " is refused: " + bounds.message;
      refused = true;
      EvDebug::Error(log_, "initParser", "%s", failure.c_str());
    } else if (!EnsureXercesPlatform()) {
      failure = "XML platform is not initialised";
    } else {
      if (!parser_) parser_ = std::make_unique<ContextParser>();
      xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()),
                                        text.size(), "XML in memory", false,
                                        xercesc::XMLPlatformUtils::fgMemoryManager);
      source.setCopyBufToStream(false);
      parser_->setErrorHandler(&errors_);
      parser_->Harden();
      parser_->parse(source);
      const xercesc::DOMDocument* parsed = parser_->getDocument();
      if (errors_.sawFatalError()) {
        // The handler has reported it.
      } else if (!parsed || !parsed->getDocumentElement()) {
        failure = "The text holds no document element";
      } else {
        loaded_ = true;
      }
    }
  } catch (const xercesc::SAXParseException& e) {
    failure = Utf16ToUtf8(e.getMessage());
    parserBroken = true;
  } catch (const xercesc::XMLException& e) {
    failure = Utf16ToUtf8(e.getMessage());
    parserBroken = true;
  } catch (const xercesc::DOMException& e) {
    failure = Utf16ToUtf8(e.getMessage());
    parserBroken = true;
  } catch (const xercesc::OutOfMemoryException&) {
    failure = "Out of memory";
    parserBroken = true;
  } catch (...) {
    failure = "Parser failure";
    parserBroken = true;
  }
  if (loaded_) return Status::Ok();
  try {
    if (!failure.empty()) errors_.reportError(failure);
    if (!refused) {
      const std::string& cause = errors_.firstError().empty() ? failure : errors_.firstError();
      EvDebug::Error(log_, "initParser", "The %s cannot be read as XML: %s",
                     errors_.describeContent().c_str(), cause.c_str());
      failure = cause;
    }
    // After an exception the parser's state is unknown: a fresh one is made for the next text.
    if (parserBroken) parser_.reset();
    if (parser_) parser_->ReleaseDocuments();
  } catch (...) {
    parser_.reset();
  }
  return Status::Error(failure.empty() ? "parser failure" : failure);
}

int ContextDocument::ChildCount(std::string_view tagName, int index, std::string_view childName) {
  if (!loaded_ || !parser_) return 0;
  try {
    const ContextIndex* elements = parser_->Index();
    const ContextIndex::Entry* parent = elements ? elements->Find(tagName, index) : nullptr;
    if (!parent) return 0;
    const size_t count = elements->CountBelow(*parent, childName);
    return count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
  } catch (...) {
    return 0;
  }
}

std::string ContextDocument::ChildValue(std::string_view tagName, int index,
                                        std::string_view childName, int childIndex) {
  if (!loaded_ || !parser_) return std::string();
  try {
    const xercesc::DOMElement* child =
        FindChild(parser_->Index(), tagName, index, childName, childIndex);
    std::string value;
    if (child && !ElementText(*child, kMaxContextValueChars, value) && !valueOverBound_) {
      valueOverBound_ = true;
      EvDebug::Error(log_, "getChildValue",
                     "The %s is refused: the text of element %s below %s %d is longer than %zu "
                     "characters (the bound)",
                     errors_.describeContent().c_str(), std::string(childName).c_str(),
                     std::string(tagName).c_str(), index, kMaxContextValueChars);
    }
    return value;
  } catch (...) {
    return std::string();
  }
}

std::string ContextDocument::ChildAttribute(std::string_view tagName, int index,
                                            std::string_view childName, int childIndex,
                                            std::string_view attributeName) {
  if (!loaded_ || !parser_) return std::string();
  try {
    const xercesc::DOMElement* child =
        FindChild(parser_->Index(), tagName, index, childName, childIndex);
    if (!child) return std::string();
    // Attribute names are short ASCII: converted without an allocation.
    char16_t shortName[64];
    std::u16string longName;
    const XMLCh* name = shortName;
    if (attributeName.size() < std::size(shortName) &&
        std::all_of(attributeName.begin(), attributeName.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      std::copy(attributeName.begin(), attributeName.end(), shortName);
      shortName[attributeName.size()] = u'\0';
    } else {
      longName = Utf8ToUtf16(std::string(attributeName));
      name = longName.c_str();
    }
    const xercesc::DOMAttr* attribute = child->getAttributeNode(name);
    const XMLCh* value = attribute ? AttributeValue(*attribute) : nullptr;
    if (std::u16string_view(value ? value : u"").size() > kMaxContextValueChars) {
      if (!valueOverBound_) {
        valueOverBound_ = true;
        EvDebug::Error(log_, "getChildAttribute",
                       "The %s is refused: the attribute %s of element %s below %s %d is longer "
                       "than %zu characters (the bound)",
                       errors_.describeContent().c_str(), std::string(attributeName).c_str(),
                       std::string(childName).c_str(), std::string(tagName).c_str(), index,
                       kMaxContextValueChars);
      }
      return std::string();
    }
    return Utf16ToUtf8(value);
  } catch (...) {
    return std::string();
  }
}
