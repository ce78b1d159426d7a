// Parsing of context texts and the lookups on them: addressing, hostile and broken texts, memory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include <clocale>
#include <fstream>

#include "context/context_bounds.h"
#include "context/context_document.h"
#include "context/context_parser.h"
#include "platform/message/xerces_platform.h"
#include "support/test_text.h"
#include "support/worker_access.h"

namespace {

TEST(ContextLookup, AddressingRules) {
  HostSandbox sandbox;
  ContextDocument doc;
  ASSERT_TRUE(doc.Parse(R"(<?xml version="1.0"?>
<root>
  <oa_host>
    <host oa_var="s_hostname">h1</host>
    <Host>upper</Host>
    <group><host oa_var="nested">h2</host></group>
    <spaced>  two words  </spaced>
    <mixed>a<b>b</b><!-- not text -->d<![CDATA[<e>]]>&amp;<?pi x?></mixed>
  </oa_host>
  <branch><oa_host><host>second branch</host></oa_host></branch>
  <a><a><a/></a></a>
  <ns:item xmlns:ns="urn:x">prefixed</ns:item>
</root>)").ok);

  // Each row: the parent (index-th of its name in the document), the child (childIndex-th of its
  // name below it), the child's text and oa_var attribute, and the number of such children.
  struct Case {
    const char *what, *tag;
    int index;
    const char* child;
    int childIndex;
    const char *value, *attribute;
    int count;
  } cases[] = {
      {"first child; other case not counted", "oa_host", 0, "host", 0, "h1", "s_hostname", 2},
      {"a descendant at any depth, in document order", "oa_host", 0, "host", 1, "h2", "nested", 2},
      {"child index equal to the count", "oa_host", 0, "host", 2, "", "", 2},
      {"negative child index", "oa_host", 0, "host", -1, "", "", 2},
      {"parent index over the document", "oa_host", 1, "host", 0, "second branch", "", 1},
      {"missing parent", "oa_host", 2, "host", 0, "", "", 0},
      {"negative parent index", "oa_host", -1, "host", 0, "", "", 0},
      {"parent names are case-sensitive", "OA_HOST", 0, "host", 0, "", "", 0},
      {"child names are case-sensitive", "oa_host", 0, "Host", 0, "upper", "", 1},
      {"white space is kept", "oa_host", 0, "spaced", 0, "  two words  ", "", 1},
      {"text of nested elements, CDATA, entities", "oa_host", 0, "mixed", 0, "abd<e>&", "", 1},
      {"names carry their prefix", "root", 0, "ns:item", 0, "prefixed", "", 1},
      {"the parent itself is not counted, nested ones are", "a", 0, "a", 0, "", "", 2},
      {"the inner one of nested elements", "a", 1, "a", 0, "", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(doc.ChildValue(c.tag, c.index, c.child, c.childIndex), c.value);
    EXPECT_EQ(doc.ChildAttribute(c.tag, c.index, c.child, c.childIndex, "oa_var"),
              c.attribute);
    EXPECT_EQ(doc.ChildCount(c.tag, c.index, c.child), c.count);
  }
  EXPECT_EQ(doc.ChildAttribute("oa_host", 0, "host", 0, "OA_VAR"), "");
}

// Lookups keep their last answers to serve the next ones: in any order, over more names than
// they keep, and after a second text with the same names in other places, each answer is that
// of the current text.
TEST(ContextLookup, AnswersInAnyOrderAndAfterASecondText) {
  HostSandbox sandbox;
  ContextDocument doc;
  ASSERT_TRUE(doc.Parse(
      "<r><p><c>1</c><c>2</c></p><p><c>3</c></p><a>a</a><b>b</b><d>d</d><e>e</e><f>f</f></r>").ok);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(doc.ChildCount("p", 0, "c"), 2);
    EXPECT_EQ(doc.ChildValue("p", 1, "c", 0), "3");
    EXPECT_EQ(doc.ChildValue("p", 0, "c", 1), "2");
    EXPECT_EQ(doc.ChildCount("p", 1, "c"), 1);
    for (const char* name : {"a", "b", "d", "e", "f"})
      EXPECT_EQ(doc.ChildValue("r", 0, name, 0), name);
    EXPECT_EQ(doc.ChildValue("p", 0, "c", 0), "1");
  }
  ASSERT_TRUE(doc.Parse("<r><p><c>4</c></p><p><c>5</c><c>6</c><c>7</c></p></r>").ok);
  EXPECT_EQ(doc.ChildCount("p", 1, "c"), 3);
  EXPECT_EQ(doc.ChildValue("p", 1, "c", 2), "7");
  EXPECT_EQ(doc.ChildCount("p", 0, "c"), 1);
  EXPECT_EQ(doc.ChildValue("p", 0, "c", 1), "");
  EXPECT_EQ(doc.ChildValue("r", 0, "a", 0), "");
}

// Depth is no problem for parsing, lookups or text: nothing recurses on the document.
TEST(ContextLookup, DeeplyNestedDocument) {
  HostSandbox sandbox;
  const int depth = 100000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  text += "<b>deep</b>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  ContextDocument doc;
  ASSERT_TRUE(doc.Parse(text).ok);
  EXPECT_EQ(doc.ChildCount("a", 0, "a"), depth - 1);
  EXPECT_EQ(doc.ChildValue("a", 0, "a", 0), "deep");
  EXPECT_EQ(doc.ChildValue("a", depth - 1, "b", 0), "deep");
  EXPECT_EQ(doc.ChildValue("a", depth, "b", 0), "");
}

// Texts that must be refused: the two reportError lines naming the text by its size, no document,
// no external content read, and the worker goes on with the next text.
TEST(ContextParse, BrokenAndHostileTextsAreRefused) {
  HostSandbox sandbox;
  const std::string cases[] = {
      "<oa_context><oa_host><host>h",  // truncated
      "",
      "<a>&nothing;</a>",                                  // undefined entity
      "<a>\xFF\xFE\x80</a>",                               // not UTF-8
      std::string("<a>x\0y</a>", 10),                      // a NUL byte
      "<?xml version=\"1.0\" encoding=\"x-bogus\"?><a/>",  // unknown encoding
      "<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>",        // internal DTD subset
  };
  ContextDocument doc;
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(doc.Parse("<a><b>previous</b></a>").ok);
    const size_t logBefore = sandbox.log().size();
    EXPECT_FALSE(doc.Parse(text).ok);
    EXPECT_EQ(doc.ChildValue("a", 0, "b", 0), "");
    EXPECT_EQ(doc.ChildCount("a", 0, "b"), 0);
    EXPECT_EQ(doc.ChildAttribute("a", 0, "b", 0, "x"), "");

    const std::vector<std::string> lines = LogLines(sandbox.log().substr(logBefore), "reportError");
    ASSERT_GE(lines.size(), 2u);
    // The text is named by its size, never logged.
    EXPECT_EQ(lines[0], "XML exception : Content - context text of " + std::to_string(text.size()) +
                            " bytes");
    EXPECT_EQ(lines[1].rfind("Error = ", 0), 0u) << lines[1];
    // One ERROR line says which text and why, on its own.
    const std::vector<std::string> errors = LogLines(sandbox.log().substr(logBefore), "initParser");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The context text of " + std::to_string(text.size()) + " bytes ", 0),
              0u)
        << errors[0];
    EXPECT_GT(lines[1].size(), std::string("Error = ").size());
  }
}

// The error lines name the file and its size; a name that is a whole export line is cut.
TEST(ContextParse, ErrorLinesNameTheFileNotItsText) {
  HostSandbox sandbox;
  XmlDomErrorHandler handler;
  const std::string text = "<a>" + std::string(1000, 'x');
  handler.setDocumentName("PROD_ebsdb01");
  handler.setXMLContent(text);
  handler.reportError("broken");
  handler.setDocumentName(std::string(10000, 'n'));
  handler.reportError("broken");
  // A cut never splits a character: the one that does not fit whole goes.
  std::string accented = "x";
  for (int i = 0; i < 200; ++i) accented += "\xC3\xA9";
  handler.setDocumentName(accented);
  handler.reportError("broken");
  const std::vector<std::string> lines = LogLines(sandbox.log(), "reportError");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "XML exception : Content - context file [PROD_ebsdb01] of 1003 bytes");
  EXPECT_EQ(lines[1], "Error = broken");
  EXPECT_EQ(lines[2], "XML exception : Content - context file [" +
                          std::string(XmlDomErrorHandler::kMaxNameBytes, 'n') +
                          "\xE2\x80\xA6] of 1003 bytes");
  EXPECT_EQ(lines[4], "XML exception : Content - context file [" +
                          accented.substr(0, XmlDomErrorHandler::kMaxNameBytes - 1) +
                          "\xE2\x80\xA6] of 1003 bytes");
}

// `count` elements (or attributes) of distinct names below one root of another name.
std::string Distinct(size_t count, const char* before = "<n", const char* after = "/>") {
  std::string text = *before == '<' ? "<root>" : "<root";
  for (size_t i = 0; i < count; ++i) text += before + std::to_string(i) + after;
  return text + (*before == '<' ? "</root>" : "/>");
}

// The parser's memory and time grow with the elements and attributes of a text, its name pool
// superlinearly with their distinct names: texts beyond the bounds are refused before parsing,
// with an ERROR line that names the text by its size and says which bound, and texts at the
// bounds are read.
TEST(ContextParse, BoundsOnSizeElementsAndNames) {
  HostSandbox sandbox;
  const size_t nodes = kMaxContextNodes, names = kMaxContextNames;
  const std::string sized = "<r>" + std::string(kMaxContextBytes - 7, 'x') + "</r>";
  struct Case {
    const char* what;
    std::string text;
    const char* refusal;  // null: read
  };
  std::vector<Case> cases = {
      {"the size at the bound", sized, nullptr},
      {"one byte more", sized + " ", "bytes, over the bound of 16777216"},
      {"elements at the bound", "<r>" + Repeat("<a/>", nodes - 1) + "</r>", nullptr},
      {"one element more", "<r>" + Repeat("<a/>", nodes) + "</r>", "elements and attributes"},
      {"attributes count with the elements: one over",
       "<r>" + Repeat("<a x='1'/>", nodes / 2) + "</r>", "elements and attributes"},
      {"distinct names at the bound", Distinct(names - 1), nullptr},
      {"one distinct name more", Distinct(names), "distinct element and attribute names"},
      {"distinct attribute names count too", Distinct(names, " a", "='1'"),
       "distinct element and attribute names"},
      {"markup in comments and CDATA is no element",
       "<r><!--" + Repeat("<a/>", nodes) + "--><![CDATA[" + Repeat("<a/>", nodes) + "]]></r>",
       nullptr},
      {"UTF-16", std::string("\xFF\xFE<\0r\0/\0>\0", 10), "an encoding other than"},
      // Its markup hides from the counts, an internal subset too.
      {"UCS-4 without a byte order mark",
       [] {
         std::string wide;
         for (char c : std::string("<!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>"))
           wide += std::string(3, '\0') + c;
         return wide;
       }(),
       "an encoding other than"},
      {"EBCDIC", "\x4C\x6F\xA7\x94\x93\x40", "an encoding other than"},
      // A comment or a processing instruction ahead of the declaration hides nothing.
      {"an internal subset after a comment",
       "<!-- generated --><!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>",
       "a document type declaration with an internal subset"},
      {"an internal subset after a declaration and a comment",
       "<?xml version='1.0'?>\n<!-- a --> <?pi x?><!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>",
       "a document type declaration with an internal subset"},
  };
  // Declared encodings in which the byte '<' is not always '<': wide, EBCDIC, stateful, unknown.
  for (const char* name : {"UTF-16", "IBM037", "UTF-32", "ISO-2022-JP", "HZ-GB-2312", "UTF-7",
                           "x-none"})
    cases.push_back({name, std::string("<?xml version='1.0' encoding='") + name + "'?><r/>",
                     "an encoding other than"});
  ContextDocument doc;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t logBefore = sandbox.log().size();
    EXPECT_EQ(doc.Parse(c.text).ok, c.refusal == nullptr);
    const std::string log = sandbox.log().substr(logBefore);
    EXPECT_LT(log.size(), 4096u);
    if (!c.refusal) continue;
    const std::vector<std::string> errors = LogLines(log, "initParser");
    ASSERT_EQ(errors.size(), 1u) << log;
    EXPECT_EQ(
        errors[0].rfind(
            "The context text of " + std::to_string(c.text.size()) + " bytes is refused: ", 0),
        0u)
        << errors[0];
    EXPECT_NE(errors[0].find(c.refusal), std::string::npos) << errors[0];
    EXPECT_NE(log.find(" ERROR "), std::string::npos);
  }
}

// A value longer than any real one (a host name, a path) reads as empty and refuses the file:
// the first one logs an ERROR line naming the file and the bound. One at the bound is read
// whole, also when it is made of several text nodes.
TEST(ContextLookup, ValuesAreBounded) {
  HostSandbox sandbox;
  const std::string atBound(kMaxContextValueChars, 'v'), half(kMaxContextValueChars / 2, 'h');
  ContextDocument doc;
  const std::string text = "<r><a>" + atBound + "</a><b>" + atBound + "x</b><c x='" + atBound +
                           "'/><d x='" + atBound + "x'/><e>" + half + "<!---->" + half + "</e><f>" +
                           half + "<g>" + half + "x</g></f></r>";
  ASSERT_TRUE(doc.Parse(text).ok);
  EXPECT_EQ(doc.ChildValue("r", 0, "a", 0), atBound);
  EXPECT_EQ(doc.ChildAttribute("r", 0, "c", 0, "x"), atBound);
  EXPECT_EQ(doc.ChildValue("r", 0, "e", 0), half + half);
  EXPECT_EQ(LogLines(sandbox.log(), "getChildValue").size(), 0u);
  EXPECT_EQ(doc.ChildValue("r", 0, "b", 0), "");
  EXPECT_EQ(doc.ChildValue("r", 0, "f", 0), "");  // the text of its child counts
  EXPECT_EQ(doc.ChildAttribute("r", 0, "d", 0, "x"), "");
  const std::vector<std::string> values = LogLines(sandbox.log(), "getChildValue");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], "The context text of " + std::to_string(text.size()) +
                           " bytes is refused: the text of element b below r 0 is longer than "
                           "65536 characters (the bound)");
  EXPECT_EQ(LogLines(sandbox.log(), "getChildAttribute").size(), 0u);
  EXPECT_NE(sandbox.log().find(" ERROR "), std::string::npos);
  // The next text starts afresh; an attribute over the bound is said as such.
  ASSERT_TRUE(doc.Parse("<r><d x='" + atBound + "x'/></r>").ok);
  EXPECT_EQ(doc.ChildAttribute("r", 0, "d", 0, "x"), "");
  const std::vector<std::string> attributes = LogLines(sandbox.log(), "getChildAttribute");
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_NE(attributes[0].find("is refused: the attribute x of element d below r 0 is longer than "
                               "65536 characters (the bound)"),
            std::string::npos)
      << attributes[0];
}

// The worker's members over its document: a file with a value over the bound is refused whole,
// the tier readers merging nothing of it (a dropped value is never taken for an empty one).
TEST(ContextLookup, TheWorkerRefusesAFileWithAValueOverTheBound) {
  HostSandbox sandbox;
  struct : HostServices {
    int LookupClient(const std::string&, bool, ClientDirectoryEntry*) override { return 1; }
  } host;  // knows no client
  const std::string over(kMaxContextValueChars + 1, 'v');
  const std::string oaHost = "<oa_host><host>h</host></oa_host>";
  NqEBSInterface worker(host);
  const auto config = View(NqEBSInterfaceTest::Request(worker))
                          .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  for (const std::string& part :
       {"<oa_shared_config><config_home>" + over + "</config_home></oa_shared_config>",
        "<oa_service_group_list><oa_service_group type='" + over + "'/></oa_service_group_list>",
        "<global_db_name>" + over + "</global_db_name>"}) {
    ASSERT_TRUE(worker.initParser("<oa_context>" + oaHost + part + "</oa_context>"));
    EXPECT_EQ(part[1] == 'g' ? worker.ProcessDBTierTags() : worker.ProcessAppTierTags(), 1);
  }
  EXPECT_TRUE(config.raw().empty());
  ASSERT_TRUE(worker.initParser("<oa_context>" + oaHost + "</oa_context>"));
  EXPECT_EQ(worker.ProcessAppTierTags(), 0);
  EXPECT_TRUE(config.isSet(Hux::OraEBSConfig::appTier));
  EXPECT_EQ(worker.getChildValue(nullptr, 0, "host", 0), "");  // null names read as nothing
  EXPECT_EQ(worker.getChildCount("oa_host", 0, nullptr), 0);
}

// Every encoding the parser knows in which markup is plain ASCII is read, its values and names
// in UTF-8 under the C locale.
TEST(ContextParse, EveryEncodingWithAsciiMarkupIsRead) {
  HostSandbox sandbox;
  std::setlocale(LC_ALL, "C");
  const struct {
    const char* encoding;
    std::string value;  // in that encoding
    std::string utf8;
  } cases[] = {
      {"ISO-8859-1", "\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
      {"KOI8-R", "\xC1\xC2", "\xD0\xB0\xD0\xB1"},
      {"EUC-JP", "\xA4\xA2", "\xE3\x81\x82"},
      {"Shift_JIS", "\x82\xA0", "\xE3\x81\x82"},
      {"windows-1251", "\xE0", "\xD0\xB0"},
      {"GB18030", "\xC4\xE3", "\xE4\xBD\xA0"},
      {"UTF-8", "caf\u00e9 \u2713 \u65e5\U0001F600", "caf\u00e9 \u2713 \u65e5\U0001F600"},
  };
  ContextDocument doc;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoding);
    ASSERT_TRUE(doc.Parse(std::string("<?xml version=\"1.0\" encoding=\"") + c.encoding +
                                  "\"?><r><v a='" + c.value + "'>" + c.value + "</v></r>").ok)
        << sandbox.log();
    EXPECT_EQ(doc.ChildValue("r", 0, "v", 0), c.utf8);
    EXPECT_EQ(doc.ChildAttribute("r", 0, "v", 0, "a"), c.utf8);
  }
  ASSERT_TRUE(doc.Parse("<r><gr\u00f6\u00dfe>x</gr\u00f6\u00dfe></r>").ok);
  EXPECT_EQ(doc.ChildValue("r", 0, "gr\u00f6\u00dfe", 0), "x");
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Earlier documents are released: memory does not grow with the number of texts parsed.
TEST(ContextParse, MemoryDoesNotGrowWithTheNumberOfTexts) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
  HostSandbox sandbox;
  const std::string text = TestData("app_VIS_apps01.xml");
  ASSERT_GT(text.size(), 250000u);
  ContextDocument doc;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(doc.Parse(text).ok);
  const size_t before = ResidentBytes();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(doc.Parse(text).ok);
    ASSERT_EQ(doc.ChildValue("oa_host", 0, "host", 0), "apps01");
  }
  // A kept document of this file takes megabytes; 200 of them would take hundreds.
  EXPECT_LT(ResidentBytes() - std::min(before, ResidentBytes()), 32u << 20);
}

// A TCP listener on 127.0.0.1 that counts the connections made to it and closes each at once (so
// that a client that reaches it fails instead of waiting for an answer).
struct LoopbackListener {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  std::atomic<int> connections{0};
  std::thread thread;
  LoopbackListener() {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || bind(fd, a, length) != 0 || listen(fd, 16) != 0 || getsockname(fd, a, &length))
      throw std::runtime_error("no loopback listener");
    thread = std::thread([this] {  // until shutdown() makes accept fail
      for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++connections) close(c);
    });
  }
  ~LoopbackListener() {
    shutdown(fd, SHUT_RDWR);
    thread.join();
    close(fd);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + path;
  }
};

// A document type declaration that only names an external DTD parses as if it named none: the
// DTD is neither read (a canary DTD would give `b` a default attribute and declare `leak`) nor
// fetched (the listener sees no connection). One with an internal subset is refused before
// parsing: its entities could expand to many times the text.
TEST(ContextParse, DocumentTypeDeclarations) {
  HostSandbox sandbox;
  TempDir files;
  LoopbackListener listener;
  const std::string canary = files.file("canary.dtd");
  WriteFile(canary, "<!ATTLIST b oa_var CDATA \"FROM-THE-DTD\"><!ENTITY leak \"LEAKED\">");
  const std::string body = "<oa_context><b>v&leak;</b></oa_context>";
  struct Case {
    const char* what;
    std::string text;
    bool parses;
  } cases[] = {
      {"an external DTD on a file", "<!DOCTYPE oa_context SYSTEM \"file://" + canary + "\">" + body,
       true},
      {"the same as a bare path", "<!DOCTYPE oa_context SYSTEM '" + canary + "'>" + body, true},
      {"an external DTD over HTTP",
       "<!DOCTYPE oa_context SYSTEM \"" + listener.url("/oa.dtd") + "\">" + body, true},
      {"a public identifier and a system one",
       "<?xml version=\"1.0\"?>\n<!-- generated -->\n<!DOCTYPE oa_context PUBLIC \"-//X//DTD "
       "Context//EN\" \"" +
           listener.url("/p[1].dtd") + "\" >\n" + body,
       true},
      // Without an external DTD an undeclared entity is an error: only `b`'s text is left.
      {"a bare document type", "<!DOCTYPE oa_context><oa_context><b>v</b></oa_context>", true},
      {"an internal subset", "<!DOCTYPE oa_context [<!ENTITY e \"v\">]>" + body, false},
      {"an internal subset after an external DTD",
       "<!DOCTYPE oa_context SYSTEM \"file://" + canary + "\" [<!ENTITY leak \"x\">]>" + body,
       false},
      {"a file entity",
       "<!DOCTYPE oa_context [<!ENTITY leak SYSTEM \"file://" + canary + "\">]>" + body, false},
      {"an HTTP entity",
       "<!DOCTYPE oa_context [<!ENTITY leak SYSTEM \"" + listener.url("/e") + "\">]>" + body,
       false},
  };
  ContextDocument doc;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t logBefore = sandbox.log().size();
    ASSERT_EQ(doc.Parse(c.text).ok, c.parses);
    if (c.parses) {
      EXPECT_EQ(doc.ChildValue("oa_context", 0, "b", 0), "v");
      EXPECT_EQ(doc.ChildAttribute("oa_context", 0, "b", 0, "oa_var"), "");
    } else {
      const std::vector<std::string> errors =
          LogLines(sandbox.log().substr(logBefore), "initParser");
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_NE(errors[0].find("is refused: a document type declaration with an internal subset"),
                std::string::npos)
          << errors[0];
    }
  }
  EXPECT_EQ(listener.connections, 0);
  EXPECT_EQ(sandbox.log().find("LEAKED"), std::string::npos);
  EXPECT_EQ(sandbox.log().find("FROM-THE-DTD"), std::string::npos);
}

// The parser's own settings, below the refusal of internal subsets: external entities are an
// error and never read or fetched, and expansion stops at the limit.
TEST(ContextParse, TheParserReadsNoExternalEntityAndBoundsExpansion) {
  HostSandbox sandbox;
  TempDir files;
  LoopbackListener listener;
  const std::string canary = files.file("canary.txt");
  WriteFile(canary, "LEAKED");
  // Ten levels of ten: 10^10 expansions if unbounded.
  std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]><r>&l9;</r>";
  struct Case {
    const char* what;
    std::string text;
    const char* value;  // of r; null when the text is refused
  } cases[] = {
      {"a file entity", "<!DOCTYPE r [<!ENTITY e SYSTEM \"file://" + canary + "\">]><r>&e;</r>",
       nullptr},
      {"an HTTP entity",
       "<!DOCTYPE r [<!ENTITY e SYSTEM \"" + listener.url("/e") + "\">]><r>&e;</r>", nullptr},
      {"a billion laughs", laughs, nullptr},
      {"an internal entity", "<!DOCTYPE r [<!ENTITY e \"inner\">]><r>&e;</r>", "inner"},
  };
  ASSERT_TRUE(EnsureXercesPlatform());
  ContextParser parser;
  xercesc::HandlerBase handler;  // throws on a fatal error
  parser.setErrorHandler(&handler);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    parser.Harden();
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(c.text.data()),
                                      c.text.size(), "test");
    bool refused = false;
    try {
      parser.parse(source);
      refused = parser.getErrorCount() > 0;
    } catch (const xercesc::SAXParseException&) {
      refused = true;
    }
    EXPECT_EQ(refused, c.value == nullptr);
    if (!refused) {
      std::string value;
      ASSERT_TRUE(ElementText(*parser.getDocument()->getDocumentElement(), 1000, value));
      EXPECT_EQ(value, c.value);
    }
    parser.ReleaseDocuments();
  }
  EXPECT_EQ(listener.connections, 0);
}

}  // namespace
