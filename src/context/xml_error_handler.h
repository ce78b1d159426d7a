// XmlDomErrorHandler: receives the errors the context-file parser reports and logs each one with
// the whole text being parsed, so that a broken context file can be read back from the log.
// The worker owns one handler and sets the text before every parse (setXMLContent). Warnings
// and recoverable errors are logged and parsing goes on; a fatal error (a text that is not
// well-formed) is logged and remembered, and the parser stops at it. Nothing is thrown and the
// process is never ended. Used by the thread that owns the worker only.
#pragma once

#include <string>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "platform/log.h"

class XmlDomErrorHandler : public xercesc::HandlerBase {
 public:
  XmlDomErrorHandler() = default;
  ~XmlDomErrorHandler() override;

  void error(const xercesc::SAXParseException& exc) override;
  void fatalError(const xercesc::SAXParseException& exc) override;
  void warning(const xercesc::SAXParseException& exc) override;

  // Copies the text about to be parsed; also forgets the fatal error of the previous text.
  void setXMLContent(const std::string& content);
  // Logs "XML exception : Content - <text>" and "Error = <message>" (label "reportError").
  void reportError(const xercesc::SAXParseException& exc);
  // The same two lines for a failure that did not come as a parse exception.
  void reportError(const std::string& message);

  // Whether a fatal error was reported since the last setXMLContent.
  bool sawFatalError() const { return fatalSeen; }

 private:
  EvEvent logContext;
  std::string xmlContent;
  bool fatalSeen = false;
};
