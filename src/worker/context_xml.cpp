// Parsing of one context text and the lookups the tier readers make on it.
#include <algorithm>
#include <climits>
#include <iterator>
#include <new>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "context/context_bounds.h"
#include "context/context_parser.h"
#include "platform/message/xerces_platform.h"
#include "worker/NqEBSInterface.h"

namespace {

// The parent of a lookup, or null when it is not there.
const ContextIndex::Entry* FindParent(const ContextIndex* index, std::string_view tagName,
                                      int parentIndex) {
  return index ? index->Find(tagName, parentIndex) : nullptr;
}

// The child element of a lookup, or null when the parent or the child is not there.
const xercesc::DOMElement* FindChild(const ContextIndex* index, std::string_view tagName,
                                     int parentIndex, std::string_view childName, int childIndex) {
  const ContextIndex::Entry* parent = FindParent(index, tagName, parentIndex);
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

void ContextParserDeleter::operator()(ContextParser* p) const noexcept { delete p; }

bool NqEBSInterface::initParser(const std::string& xmlText) {
  // The previous document goes first, whatever happens to this one.
  document = nullptr;
  lastParseFailed = true;
  valueOverBound = false;
  std::string failure;
  bool parserBroken = false, refused = false;
  try {
    if (parser) parser->ReleaseDocuments();
    errorHandler.setXMLContent(xmlText);
    const std::string overBound = CheckContextBounds(xmlText);
    if (!overBound.empty()) {
      // Refused before parsing: the parser's time and memory would grow beyond reason.
      failure = "The " + errorHandler.describeContent() + " is refused: " + overBound;
      refused = true;
      EvDebug::Error(logContext, "initParser", "%s", failure.c_str());
    } else if (!platformReady) {
      failure = "XML platform is not initialised";
    } else {
      if (!parser) parser.reset(new ContextParser());
      xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(xmlText.data()),
                                        xmlText.size(), "XML in memory", false,
                                        xercesc::XMLPlatformUtils::fgMemoryManager);
      source.setCopyBufToStream(false);
      parser->setErrorHandler(&errorHandler);
      parser->Harden();
      parser->parse(source);
      xercesc::DOMDocument* parsed = parser->getDocument();
      if (errorHandler.sawFatalError()) {
        // The handler has reported it.
      } else if (!parsed || !parsed->getDocumentElement()) {
        failure = "The text holds no document element";
      } else {
        document = parsed;
        lastParseFailed = false;
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
  if (!lastParseFailed) return true;
  try {
    if (!failure.empty()) errorHandler.reportError(failure);
    if (!refused) {
      const std::string& cause =
          errorHandler.firstError().empty() ? failure : errorHandler.firstError();
      EvDebug::Error(logContext, "initParser", "The %s cannot be read as XML: %s",
                     errorHandler.describeContent().c_str(), cause.c_str());
    }
    // After an exception the parser's state is unknown: a fresh one is made for the next text.
    if (parserBroken) parser.reset();
    if (parser) parser->ReleaseDocuments();
  } catch (...) {
    parser.reset();
  }
  return false;
}

int NqEBSInterface::getChildCount(const char* tagName, int index, const char* childName) {
  if (!document || !tagName || !childName || !parser) return 0;
  try {
    const ContextIndex* elements = parser->Index();
    const ContextIndex::Entry* parent = FindParent(elements, tagName, index);
    if (!parent) return 0;
    const size_t count = elements->CountBelow(*parent, childName);
    return count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
  } catch (...) {
    return 0;
  }
}

std::string NqEBSInterface::getChildValue(const char* tagName, int index, const char* childName,
                                          int childIndex) {
  if (!document || !tagName || !childName || !parser) return std::string();
  try {
    const xercesc::DOMElement* child =
        FindChild(parser->Index(), tagName, index, childName, childIndex);
    std::string value;
    if (child && !ElementText(*child, kMaxContextValueChars, value) && !valueOverBound) {
      valueOverBound = true;
      EvDebug::Error(logContext, "getChildValue",
                     "The %s is refused: the text of element %s below %s %d is longer than %zu "
                     "characters (the bound)",
                     errorHandler.describeContent().c_str(), childName, tagName, index,
                     kMaxContextValueChars);
    }
    return value;
  } catch (...) {
    return std::string();
  }
}

std::string NqEBSInterface::getChildAttribute(const std::string& tagName, int index,
                                              const std::string& childName, int childIndex,
                                              const std::string& attributeName) {
  if (!document || !parser) return std::string();
  try {
    const xercesc::DOMElement* child =
        FindChild(parser->Index(), tagName, index, childName, childIndex);
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
      longName = Utf8ToUtf16(attributeName);
      name = longName.c_str();
    }
    const xercesc::DOMAttr* attribute = child->getAttributeNode(name);
    const XMLCh* value = attribute ? AttributeValue(*attribute) : nullptr;
    if (std::u16string_view(value ? value : u"").size() > kMaxContextValueChars) {
      if (!valueOverBound) {
        valueOverBound = true;
        EvDebug::Error(logContext, "getChildAttribute",
                       "The %s is refused: the attribute %s of element %s below %s %d is longer "
                       "than %zu characters (the bound)",
                       errorHandler.describeContent().c_str(), attributeName.c_str(),
                       childName.c_str(), tagName.c_str(), index, kMaxContextValueChars);
      }
      return std::string();
    }
    return Utf16ToUtf8(value);
  } catch (...) {
    return std::string();
  }
}
