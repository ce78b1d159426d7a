// XmlDomErrorHandler: receives the errors the context-file parser reports and logs each one
// with the name and size of the text being parsed (never the text itself: a context file may be
// megabytes long and hold anything). The driver names the file (setDocumentName) and the worker
// sets the text before every parse (setXMLContent). Warnings and recoverable errors are logged
// and parsing goes on; a fatal error (a text that is not well-formed) is logged and remembered,
// and the parser stops at it. Nothing is thrown and the process is never ended. Used by the
// thread that owns the worker only.
#pragma once

#include <string>
#include <string_view>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "platform/host/log.h"

class XmlDomErrorHandler : public xercesc::HandlerBase {
 public:
  XmlDomErrorHandler() = default;
  ~XmlDomErrorHandler() override;

  void error(const xercesc::SAXParseException& exc) override;
  void fatalError(const xercesc::SAXParseException& exc) override;
  void warning(const xercesc::SAXParseException& exc) override;

  // The name of the context file whose text comes next (kept until changed); a name longer
  // than kMaxNameBytes (an export line without commas is all name) is cut there, before the
  // character that does not fit whole, and ends in "…".
  void setDocumentName(std::string_view name);
  static constexpr size_t kMaxNameBytes = 256;
  // Notes the size of the text about to be parsed; also forgets the fatal error of the previous
  // text.
  void setXMLContent(const std::string& content);
  // Logs "XML exception : Content - <what the text is>" and "Error = <message>" (label
  // "reportError"), e.g. "XML exception : Content - context file [PROD_db01] of 1234 bytes".
  void reportError(const xercesc::SAXParseException& exc);
  // The same two lines for a failure that did not come as a parse exception.
  void reportError(const std::string& message);
  // "context file [NAME] of N bytes", or "context text of N bytes" when no name was set.
  std::string describeContent() const;

  // Whether a fatal error was reported since the last setXMLContent.
  bool sawFatalError() const { return fatalSeen; }
  // The first error or fatal error reported since the last setXMLContent, with its line and
  // column when the parser gave them; empty when there was none.
  const std::string& firstError() const { return firstErrorText; }

 private:
  void noteError(const xercesc::SAXParseException& exc);

  EvEvent logContext;
  std::string documentName;
  size_t contentBytes = 0;
  bool fatalSeen = false;
  std::string firstErrorText;
};
