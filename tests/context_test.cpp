// Parsing of context texts and the lookups on them: addressing, hostile and broken texts, memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <fstream>

#include "support/worker_access.h"

namespace {

const char* const kLookupDoc = R"(<?xml version="1.0"?>
<root>
  <oa_host>
    <host oa_var="s_hostname">h1</host>
    <Host>upper</Host>
    <group><host oa_var="nested">h2</host></group>
    <domain></domain>
    <spaced>  two words  </spaced>
    <mixed>a<b>b</b><!-- not text -->d<![CDATA[<e>]]>&amp;<?pi x?></mixed>
  </oa_host>
  <branch><oa_host><host>second branch</host></oa_host></branch>
  <a><a><a/></a></a>
  <ns:item xmlns:ns="urn:x" ns:kind="k">prefixed</ns:item>
</root>)";

TEST(ContextLookup, AddressingRules) {
  HostSandbox sandbox;
  NqEBSInterface worker;
  ASSERT_TRUE(worker.initParser(kLookupDoc));
  EXPECT_FALSE(NqEBSInterfaceTest::LastParseFailed(worker));

  struct Case {
    const char* what;
    const char* tag;
    int index;
    const char* child;
    int childIndex;
    const char* value;
  } values[] = {
      {"first child", "oa_host", 0, "host", 0, "h1"},
      {"a descendant at any depth, in document order", "oa_host", 0, "host", 1, "h2"},
      {"childIndex equal to the count", "oa_host", 0, "host", 2, ""},
      {"negative child index", "oa_host", 0, "host", -1, ""},
      {"the parent index runs over the whole document", "oa_host", 1, "host", 0, "second branch"},
      {"missing parent", "oa_host", 2, "host", 0, ""},
      {"negative parent index", "oa_host", -1, "host", 0, ""},
      {"parent names are case-sensitive", "OA_HOST", 0, "host", 0, ""},
      {"child names are case-sensitive", "oa_host", 0, "Host", 0, "upper"},
      {"an empty element", "oa_host", 0, "domain", 0, ""},
      {"a missing child", "oa_host", 0, "appsuser", 0, ""},
      {"white space is kept", "oa_host", 0, "spaced", 0, "  two words  "},
      {"text of nested elements, CDATA and entities; no comments or PIs", "oa_host", 0, "mixed", 0,
       "abd<e>&"},
      {"an element holding elements gives their text", "oa_host", 0, "group", 0, "h2"},
      {"names carry their prefix", "root", 0, "ns:item", 0, "prefixed"},
      {"a local name alone does not match", "root", 0, "item", 0, ""},
      {"nested elements of the parent's name", "a", 1, "a", 0, ""},
      {"an empty tag name", "", 0, "host", 0, ""},
  };
  for (const Case& c : values) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(worker.getChildValue(c.tag, c.index, c.child, c.childIndex), c.value);
  }

  struct Count {
    const char* what;
    const char* tag;
    int index;
    const char* child;
    int count;
  } counts[] = {
      {"descendants at any depth, other letter case excluded", "oa_host", 0, "host", 2},
      {"second parent", "oa_host", 1, "host", 1},
      {"missing parent", "oa_host", 5, "host", 0},
      {"the parent itself does not count", "oa_host", 0, "oa_host", 0},
      {"nested elements of the parent's name", "a", 0, "a", 2},
      {"the inner one", "a", 1, "a", 1},
      {"no such child", "root", 0, "nothing", 0},
  };
  for (const Count& c : counts) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(worker.getChildCount(c.tag, c.index, c.child), c.count);
  }

  EXPECT_EQ(worker.getChildAttribute("oa_host", 0, "host", 0, "oa_var"), "s_hostname");
  EXPECT_EQ(worker.getChildAttribute("oa_host", 0, "host", 1, "oa_var"), "nested");
  EXPECT_EQ(worker.getChildAttribute("oa_host", 0, "host", 0, "OA_VAR"), "");
  EXPECT_EQ(worker.getChildAttribute("oa_host", 0, "host", 2, "oa_var"), "");
  EXPECT_EQ(worker.getChildAttribute("oa_host", 3, "host", 0, "oa_var"), "");
  EXPECT_EQ(worker.getChildAttribute("root", 0, "ns:item", 0, "ns:kind"), "k");
  EXPECT_EQ(worker.getChildValue(nullptr, 0, "host", 0), "");
  EXPECT_EQ(worker.getChildCount("oa_host", 0, nullptr), 0);
}

// Depth is no problem for parsing, lookups or text: nothing recurses on the document.
TEST(ContextLookup, DeeplyNestedDocument) {
  HostSandbox sandbox;
  const int depth = 100000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  text += "<b>deep</b>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  NqEBSInterface worker;
  ASSERT_TRUE(worker.initParser(text));
  EXPECT_EQ(worker.getChildCount("a", 0, "a"), depth - 1);
  EXPECT_EQ(worker.getChildValue("a", 0, "b", 0), "deep");
  EXPECT_EQ(worker.getChildValue("a", depth - 1, "b", 0), "deep");
  EXPECT_EQ(worker.getChildValue("a", depth, "b", 0), "");
  EXPECT_EQ(worker.ProcessAppTierTags(), 0);
}

TEST(ContextLookup, ValuesAreUtf8WhateverTheLocale) {
  HostSandbox sandbox;
  std::setlocale(LC_ALL, "C");
  NqEBSInterface worker;
  ASSERT_TRUE(worker.initParser(
      "<r><v name=\"caf\xC3\xA9\">caf\xC3\xA9 \xE2\x9C\x93 \xE6\x97\xA5\xF0\x9F\x98\x80</v>"
      "<gr\xC3\xB6\xC3\x9F"
      "e>x</gr\xC3\xB6\xC3\x9F"
      "e></r>"));
  EXPECT_EQ(worker.getChildValue("r", 0, "v", 0),
            "caf\xC3\xA9 \xE2\x9C\x93 \xE6\x97\xA5\xF0\x9F\x98\x80");
  EXPECT_EQ(worker.getChildAttribute("r", 0, "v", 0, "name"), "caf\xC3\xA9");
  EXPECT_EQ(worker.getChildValue("r", 0,
                                 "gr\xC3\xB6\xC3\x9F"
                                 "e",
                                 0),
            "x");

  // A text in another declared encoding still yields UTF-8.
  ASSERT_TRUE(
      worker.initParser("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><v>\xE9t\xE9</v></r>"));
  EXPECT_EQ(worker.getChildValue("r", 0, "v", 0), "\xC3\xA9t\xC3\xA9");
}

TEST(ContextLookup, ASecondParseReplacesTheFirst) {
  HostSandbox sandbox;
  NqEBSInterface worker;
  ASSERT_TRUE(worker.initParser("<r><first>1</first><both>one</both></r>"));
  ASSERT_TRUE(worker.initParser("<r><second>2</second><both>two</both></r>"));
  EXPECT_EQ(worker.getChildValue("r", 0, "first", 0), "");
  EXPECT_EQ(worker.getChildValue("r", 0, "second", 0), "2");
  EXPECT_EQ(worker.getChildValue("r", 0, "both", 0), "two");
  EXPECT_EQ(worker.getChildCount("r", 0, "both"), 1);
}

// Texts that must be refused: the two reportError lines, no document, no crash, and the worker
// goes on with the next text.
TEST(ContextParse, BrokenAndHostileTextsAreRefused) {
  HostSandbox sandbox;
  TempDir files;
  const std::string secret = files.file("secret.txt");
  WriteFile(secret, "TOP-SECRET-CONTENT");
  const std::string dtd = files.file("ext.dtd");
  WriteFile(dtd, "<!ENTITY leak \"LEAKED-FROM-DTD\">");

  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"unclosed element", "<oa_context><oa_host><host>h</host></oa_context>"},
      {"truncated", "<oa_context><oa_host><host>h"},
      {"empty text", ""},
      {"plain text", "not xml at all"},
      {"two root elements", "<a/><b/>"},
      {"undefined entity", "<a>&nothing;</a>"},
      {"bytes that are not UTF-8", "<a>\xFF\xFE\x80</a>"},
      {"a NUL byte", std::string("<a>x\0y</a>", 10)},
      {"an unknown encoding", "<?xml version=\"1.0\" encoding=\"x-bogus\"?><a/>"},
      {"a DOCTYPE with an internal subset", "<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>"},
      {"an external entity naming a local file",
       "<!DOCTYPE a [<!ENTITY x SYSTEM \"file://" + secret + "\">]><a><b>&x;</b></a>"},
      {"an external DTD", "<!DOCTYPE a SYSTEM \"file://" + dtd + "\"><a><b>&leak;</b></a>"},
      {"an external entity on the network",
       "<!DOCTYPE a [<!ENTITY x SYSTEM \"http://127.0.0.1:9/x\">]><a><b>&x;</b></a>"},
      {"nested entity expansion",
       "<!DOCTYPE a [<!ENTITY a0 \"xxxxxxxxxx\"><!ENTITY a1 \"&a0;&a0;&a0;&a0;&a0;&a0;&a0;&a0;\">"
       "<!ENTITY a2 \"&a1;&a1;&a1;&a1;&a1;&a1;&a1;&a1;\"><!ENTITY a3 \"&a2;&a2;&a2;&a2;&a2;&a2;\">"
       "<!ENTITY a4 \"&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;&a3;\">]>"
       "<a><b>&a4;&a4;&a4;&a4;&a4;&a4;&a4;&a4;&a4;&a4;&a4;&a4;</b></a>"},
  };
  NqEBSInterface worker;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(worker.initParser("<a><b>previous</b></a>"));
    const size_t logBefore = sandbox.log().size();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(worker.initParser(c.text));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(NqEBSInterfaceTest::LastParseFailed(worker));
    EXPECT_EQ(worker.getChildValue("a", 0, "b", 0), "");
    EXPECT_EQ(worker.getChildCount("a", 0, "b"), 0);
    EXPECT_EQ(worker.getChildAttribute("a", 0, "b", 0, "x"), "");

    const std::vector<std::string> lines = LogLines(sandbox.log().substr(logBefore), "reportError");
    ASSERT_GE(lines.size(), 2u);
    // The first report names the whole text (control characters escaped by the log).
    EXPECT_EQ(lines[0].rfind("XML exception : Content - ", 0), 0u) << lines[0];
    if (c.text.find('\0') == std::string::npos && c.text.find('\xFF') == std::string::npos) {
      EXPECT_EQ(lines[0], "XML exception : Content - " + c.text);
    }
    EXPECT_EQ(lines[1].rfind("Error = ", 0), 0u) << lines[1];
    EXPECT_GT(lines[1].size(), std::string("Error = ").size());
  }
  const std::string log = sandbox.log();
  EXPECT_EQ(log.find("TOP-SECRET-CONTENT"), std::string::npos);
  EXPECT_EQ(log.find("LEAKED-FROM-DTD"), std::string::npos);

  // The worker carries on with a good text.
  ASSERT_TRUE(worker.initParser("<a><b>after</b></a>"));
  EXPECT_EQ(worker.getChildValue("a", 0, "b", 0), "after");
}

TEST(ContextParse, AnErrorReportNamesTheTextBeingParsed) {
  HostSandbox sandbox;
  NqEBSInterface worker;
  EXPECT_FALSE(worker.initParser("<first>"));
  EXPECT_FALSE(worker.initParser("<second>"));
  const std::vector<std::string> lines = LogLines(sandbox.log(), "reportError");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "XML exception : Content - <first>");
  EXPECT_EQ(lines[2], "XML exception : Content - <second>");
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
  NqEBSInterface worker;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(worker.initParser(text));
  const size_t before = ResidentBytes();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(worker.initParser(text));
    ASSERT_EQ(worker.getChildValue("oa_host", 0, "host", 0), "apps01");
  }
  // A kept document of this file takes megabytes; 200 of them would take hundreds.
  EXPECT_LT(ResidentBytes() - std::min(before, ResidentBytes()), 32u << 20);
}

}  // namespace
