#include "context/xml_error_handler.h"

#include "platform/xerces_platform.h"

XmlDomErrorHandler::~XmlDomErrorHandler() = default;

void XmlDomErrorHandler::error(const xercesc::SAXParseException& exc) { reportError(exc); }

void XmlDomErrorHandler::fatalError(const xercesc::SAXParseException& exc) {
  fatalSeen = true;
  reportError(exc);
}

void XmlDomErrorHandler::warning(const xercesc::SAXParseException& exc) { reportError(exc); }

void XmlDomErrorHandler::setXMLContent(const std::string& content) {
  xmlContent = content;
  fatalSeen = false;
}

void XmlDomErrorHandler::reportError(const xercesc::SAXParseException& exc) {
  reportError(Utf16ToUtf8(exc.getMessage()));
}

void XmlDomErrorHandler::reportError(const std::string& message) {
  EvDebug::Debug(logContext, "reportError", "XML exception : Content - %s", xmlContent.c_str());
  EvDebug::Debug(logContext, "reportError", "Error = %s", message.c_str());
}
