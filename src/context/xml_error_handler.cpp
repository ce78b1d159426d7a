#include "context/xml_error_handler.h"

#include "base/text.h"
#include "platform/message/xerces_platform.h"

XmlDomErrorHandler::~XmlDomErrorHandler() = default;

void XmlDomErrorHandler::error(const xercesc::SAXParseException& exc) {
  noteError(exc);
  reportError(exc);
}

void XmlDomErrorHandler::fatalError(const xercesc::SAXParseException& exc) {
  fatalSeen = true;
  noteError(exc);
  reportError(exc);
}

void XmlDomErrorHandler::noteError(const xercesc::SAXParseException& exc) {
  if (!firstErrorText.empty()) return;
  firstErrorText = Utf16ToUtf8(exc.getMessage());
  if (exc.getLineNumber() > 0)
    firstErrorText += " (line " + std::to_string(exc.getLineNumber()) + ", column " +
                      std::to_string(exc.getColumnNumber()) + ")";
}

void XmlDomErrorHandler::warning(const xercesc::SAXParseException& exc) { reportError(exc); }

void XmlDomErrorHandler::setDocumentName(std::string_view name) {
  const size_t kept = CutPoint(name, kMaxNameBytes);
  documentName = std::string(name.substr(0, kept)) + (kept < name.size() ? "\xE2\x80\xA6" : "");
}

void XmlDomErrorHandler::setXMLContent(const std::string& content) {
  contentBytes = content.size();
  fatalSeen = false;
  firstErrorText.clear();
}

std::string XmlDomErrorHandler::describeContent() const {
  const std::string size = " of " + std::to_string(contentBytes) + " bytes";
  return documentName.empty() ? "context text" + size
                              : "context file [" + documentName + "]" + size;
}

void XmlDomErrorHandler::reportError(const xercesc::SAXParseException& exc) {
  reportError(Utf16ToUtf8(exc.getMessage()));
}

void XmlDomErrorHandler::reportError(const std::string& message) {
  EvDebug::Debug(logContext, "reportError", "XML exception : Content - %s",
                 describeContent().c_str());
  EvDebug::Debug(logContext, "reportError", "Error = %s", message.c_str());
}
