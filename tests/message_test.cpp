// The message framework: exact round trips of every field kind, and what becomes of text that is
// not a valid message.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "messages/catalogue.h"
#include "messages/message_passwords.h"
#include "messages/redact.h"
#include "platform/message/message.h"
#include "platform/message/pstring.h"

namespace {

// Field numbers the catalogue does not know, written through the raw interface as a peer would.
constexpr short kUnknownIndex = 77;

// `ascii` in UTF-16LE with a byte-order mark.
std::string Utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// A configuration message around `body`.
std::string M(const std::string& body) { return "<m g=\"22\" n=\"504\">" + body + "</m>"; }

// A configuration `levels` messages deep, the outermost counted, `inner` in the deepest.
std::string Nested(int levels, const std::string& inner = "") {
  std::string open, close;
  for (int i = 1; i < levels; ++i) open += "<o x=\"1\"><m g=\"1\" n=\"1\">", close += "</m></o>";
  return M(open + inner + close);
}

// The first database node of `config`.
Msg<Hux::OraEBSDBNode> DbNode(Hux::OraEBSConfig& config) {
  return View(config)
      .child(Hux::OraEBSConfig::dbTier, Create::No)
      .list(Hux::OraEBSDBTier::dbNodes, Create::No)
      .at(0);
}

std::string AllBytes() {
  std::string s;
  for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
  return s;
}

Hux::OraEBSConfig RichConfig() {
  Hux::OraEBSConfig config;
  auto cfg = View(config);
  cfg.set(Hux::OraEBSConfig::appsVersion, "12.2.10 <&> \"quoted\" 'single' ]]> é ✓ 𝄞");
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  db.set(Hux::OraEBSDBTier::dbName, "line one\nline two\r\nthree\rfour\ttab");
  db.set(Hux::OraEBSDBTier::dbSid, AllBytes());  // control bytes, invalid UTF-8, NUL
  db.set(Hux::OraEBSDBTier::dbPort, "");
  auto node = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
  node.set(Hux::OraEBSDBNode::hostName, "db01");
  node.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes) = {"", "/u01/data", "  spaced  "};
  node.child(Hux::OraEBSDBNode::client, Create::Yes)
      .set(NqEntities::ClientEntity::clientId, INT64_MIN);
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes);
  auto login = tier.child(Hux::OraEBSAppTier::databaseLogin, Create::Yes);
  login.set(UserCredentials::userName, "apps");
  login.set(UserCredentials::password, "pa<ss>&\x01word");
  auto appNode = tier.list(Hux::OraEBSAppTier::appNodes, Create::Yes).append();
  appNode.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {1, -2, INT64_MAX, INT64_MIN, 0};
  appNode.list(Hux::OraEBSAppNode::contexts, Create::Yes);  // present but empty
  cfg.child(Hux::OraEBSConfig::virtualApp, Create::Yes).set(NqEntities::AppEntity::appId, -1);
  // A field the catalogue does not know, of each kind that matters.
  config.setint64(kUnknownIndex, 5, 1234567890123LL, 0, 42);
  config.setstring(kUnknownIndex + 1, 6, "unknown", 0, 43);
  return config;
}

TEST(Message, EveryFieldKindSurvivesARoundTripExactly) {
  const Hux::OraEBSConfig original = RichConfig();
  const std::string text = original.serialized();
  Hux::OraEBSConfig copy;
  ASSERT_TRUE(copy.unserialize(text));
  EXPECT_EQ(copy.serialized(), text);

  auto cfg = View(copy);
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::No);
  EXPECT_EQ(cfg.get(Hux::OraEBSConfig::appsVersion), "12.2.10 <&> \"quoted\" 'single' ]]> é ✓ 𝄞");
  EXPECT_EQ(db.get(Hux::OraEBSDBTier::dbName), "line one\nline two\r\nthree\rfour\ttab");
  EXPECT_EQ(db.get(Hux::OraEBSDBTier::dbSid), AllBytes());
  EXPECT_TRUE(db.isSet(Hux::OraEBSDBTier::dbPort));
  EXPECT_EQ(db.get(Hux::OraEBSDBTier::dbPort), "");
  auto node = db.list(Hux::OraEBSDBTier::dbNodes, Create::No).at(0);
  EXPECT_EQ(node.list(Hux::OraEBSDBNode::dataDirectories, Create::No),
            (std::vector<std::string>{"", "/u01/data", "  spaced  "}));
  EXPECT_EQ(
      node.child(Hux::OraEBSDBNode::client, Create::No).get(NqEntities::ClientEntity::clientId),
      INT64_MIN);
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::No);
  EXPECT_EQ(tier.child(Hux::OraEBSAppTier::databaseLogin, Create::No)
                .get(UserCredentials::password)
                .getPlainPassword()
                .str(),
            "pa<ss>&\x01word");
  auto appNode = tier.list(Hux::OraEBSAppTier::appNodes, Create::No).at(0);
  EXPECT_EQ(appNode.list(Hux::OraEBSAppNode::nodeTypes, Create::No),
            (std::vector<int64_t>{1, -2, INT64_MAX, INT64_MIN, 0}));
  EXPECT_TRUE(appNode.isSet(Hux::OraEBSAppNode::contexts));
  EXPECT_TRUE(appNode.list(Hux::OraEBSAppNode::contexts, Create::No).empty());
  EXPECT_FALSE(appNode.isSet(Hux::OraEBSAppNode::client));  // absent stays absent
  EXPECT_EQ(copy.getint64(kUnknownIndex, 0, 42), 1234567890123LL);
  EXPECT_EQ(copy.getstring(kUnknownIndex + 1, 6, 0, 43), "unknown");
}

TEST(Message, HandWrittenTextWithUnknownFieldsSurvivesUnchanged) {
  // What a peer with a newer catalogue might send: fields and classes we do not know.
  const std::string text =
      "<m g=\"22\" n=\"504\"><i x=\"200\" n=\"9\" id=\"1\">-5</i>"
      "<o x=\"201\"><m g=\"99\" n=\"1\"><ls x=\"3\"><v>a</v><v></v></ls>"
      "<lo x=\"4\"><m g=\"99\" n=\"2\"></m></lo><li x=\"5\"></li></m></o></m>";
  Hux::OraEBSConfig config;
  ASSERT_TRUE(config.unserialize(text));
  EXPECT_EQ(config.serialized(), text);
  // Fields out of index order are put in it; an index seen before, anywhere, is refused.
  PXMessageBase m(1, 2);
  ASSERT_TRUE(
      m.unserialize("<m g=\"1\" n=\"2\"><i x=\"9\">9</i><i x=\"-3\">3</i><i x=\"4\">4</i></m>"));
  m.removeField(4);
  EXPECT_EQ(m.serialized(), "<m g=\"1\" n=\"2\"><i x=\"-3\">3</i><i x=\"9\">9</i></m>");
  EXPECT_FALSE(
      m.unserialize("<m g=\"1\" n=\"2\"><i x=\"9\">9</i><i x=\"4\">4</i><i x=\"9\">9</i></m>"));
}

TEST(Message, AbsentChildrenAndListsReadAsUsableEmptyValues) {
  Hux::OraEBSReqResp request;
  auto req = View(request);
  auto cfg = req.child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  auto nodes =
      cfg.child(Hux::OraEBSConfig::dbTier, Create::No).list(Hux::OraEBSDBTier::dbNodes, Create::No);
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(cfg.get(Hux::OraEBSConfig::appsVersion), "");
  EXPECT_TRUE(cfg.child(Hux::OraEBSConfig::appTier, Create::No)
                  .child(Hux::OraEBSAppTier::databaseLogin, Create::No)
                  .get(UserCredentials::password)
                  .empty());
  // Writes to a detached empty child are not kept, and reading it again sees it empty.
  cfg.set(Hux::OraEBSConfig::appsVersion, "lost");
  EXPECT_EQ(
      req.child(Hux::OraEBSReqResp::ebsConfig, Create::No).get(Hux::OraEBSConfig::appsVersion), "");
  EXPECT_FALSE(req.isSet(Hux::OraEBSReqResp::ebsConfig));
  EXPECT_EQ(request.serialized(), "<m g=\"22\" n=\"505\"></m>");
}

TEST(Message, CopiesAreDeep) {
  Hux::OraEBSConfig original = RichConfig();
  Hux::OraEBSConfig copy = original;
  DbNode(copy).set(Hux::OraEBSDBNode::hostName, "changed");
  EXPECT_EQ(DbNode(original).get(Hux::OraEBSDBNode::hostName), "db01");
}

// Numbers are read straight from the parser's text, and messages nest up to 64 levels (the
// outermost counted). Each row is a text and whether it is a valid message; an invalid one
// leaves the message empty.
TEST(Message, OnlyValidTextIsRead) {
  std::string junk(100u << 20, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>("<>&x\"m"[i % 6]);

  const struct {
    const char* what;
    std::string text;
    bool accepted = false;
  } cases[] = {
      {"empty", ""},
      {"garbage", "this is not xml"},
      {"truncated", "<m g=\"22\" n=\"504\"><s x=\"1\">12.2"},
      {"wrong nesting", M("<s x=\"1\">") + "</s>"},
      {"another class", "<m g=\"22\" n=\"505\"></m>"},
      {"unknown element: the handler stops", M("<q x=\"1\">1</q><s x=\"2\">after</s>")},
      {"field without index", M("<s>1</s>")},
      {"index out of range", M("<s x=\"40000\">1</s>")},
      {"same index twice", M("<s x=\"1\">a</s><s x=\"1\">b</s>")},
      {"integer overflow", M("<i x=\"1\">9223372036854775808</i>")},
      {"integer with letters", M("<i x=\"1\">12ab</i>")},
      {"text between fields", M("loose<s x=\"1\">a</s>")},
      {"object field without message", M("<o x=\"3\"></o>")},
      {"object field with two messages",
       M("<o x=\"3\"><m g=\"1\" n=\"1\"/><m g=\"1\" n=\"1\"/></o>")},
      {"child message without class", M("<o x=\"3\"><m/></o>")},
      {"bad base64", M("<s x=\"1\" enc=\"base64\">@@@@</s>")},
      {"unknown encoding", M("<s x=\"1\" enc=\"rot13\">a</s>")},
      {"a document type", "<!DOCTYPE m [<!ENTITY e \"x\">]>" + M("<s x=\"1\">&e;</s>")},
      {"an external entity",
       "<!DOCTYPE m [<!ENTITY e SYSTEM \"/etc/passwd\">]>" + M("<s x=\"1\">&e;</s>")},
      {"a document type without entities: a default attribute would make strings base64",
       "<!DOCTYPE m [<!ATTLIST s enc CDATA \"base64\">]>" + M("<s x=\"1\">QUJD</s>")},
      {"a bare document type", "<!DOCTYPE m>" + M("")},
      {"UTF-16 with a byte-order mark", Utf16(M("<s x=\"1\">a</s>"))},
      {"EBCDIC, as its declaration says",
       "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7D\xF1\x4B\xF0\x7D\x40\x85"
       "\x95\x83\x96\x84\x89\x95\x87\x7E\x7D\x85\x82\x83\x84\x89\x83\x60\x83\x97\x60\xA4\xA2"
       "\x7D\x6F\x6E\x4C\x94\x40\x87\x7E\x7D\xF2\xF2\x7D\x40\x95\x7E\x7D\xF5\xF0\xF4\x7D\x6E"
       "\x4C\x61\x94\x6E"},
      {"10,000 levels deep", Nested(10000)},
      // Markup the parser would keep whole, several times its size.
      {"a tag of more than 64 KiB",
       "<m g=\"22\" n=\"504\" q='" + std::string(64u << 10, 'q') + "'></m>"},
      {"a CDATA section of more than 1 MiB",
       M("<s x=\"1\"><![CDATA[" + std::string(1u << 20, 'c') + "]]></s>")},
      {"a comment of more than 1 MiB", M("<!--" + std::string(1u << 20, 'c') + "-->")},
      {"100 MB of junk", junk},
      {"index at its lower bound", M("<i x=\"-32768\">1</i>"), true},
      {"index at its upper bound", M("<i x=\"32767\">1</i>"), true},
      {"index one past", M("<i x=\"32768\">1</i>"), false},
      {"index with a plus", M("<i x=\"+1\">1</i>"), false},
      {"index with a blank", M("<i x=\" 1\">1</i>"), false},
      {"empty index", M("<i x=\"\">1</i>"), false},
      {"a sign alone", M("<i x=\"-\">1</i>"), false},
      {"index with leading zeros", M("<i x=\"007\">1</i>"), true},
      // The value is bound, not the number of digits.
      {"index of 30 digits", M("<i x=\"000000000000000000000000000001\">1</i>"), true},
      {"index of 30 digits one past", M("<i x=\"000000000000000000000000032768\">1</i>"), false},
      {"identity of 40 digits at its upper bound",
       M("<i x=\"1\" id=\"0000000000000000000000000000004294967295\">1</i>"), true},
      {"non-ASCII digit", M("<i x=\"\xD9\xA1\">1</i>"), false},
      {"identity at its upper bound", M("<i x=\"1\" id=\"4294967295\">1</i>"), true},
      {"identity one past", M("<i x=\"1\" id=\"4294967296\">1</i>"), false},
      {"negative identity", M("<i x=\"1\" id=\"-1\">1</i>"), false},
      {"field number one past", M("<i x=\"1\" n=\"-32769\">1</i>"), false},
      {"group beyond int", "<m g=\"4294967318\" n=\"504\"></m>", false},
      {"integer at its lower bound", M("<i x=\"1\">-9223372036854775808</i>"), true},
      {"integer one below", M("<i x=\"1\">-9223372036854775809</i>"), false},
      {"integer with blanks around", M("<i x=\"1\">\n 42\t</i>"), true},
      {"integer with a blank inside", M("<i x=\"1\">4 2</i>"), false},
      {"blank integer", M("<i x=\"1\"> </i>"), false},
      {"integer split by a comment", M("<i x=\"1\">4<!-- -->2</i>"), true},
      {"list value one past", M("<li x=\"1\"><v>9223372036854775808</v></li>"), false},
      {"nested at the limit", Nested(PXMessageBase::kMaxDepth), true},
      {"nested one past", Nested(PXMessageBase::kMaxDepth + 1), false},
  };
  // Readers are kept between texts: one stopped early (by the handler, a fatal XML error, a
  // document type) must leave the next text read exactly.
  const std::string good = RichConfig().serialized();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Hux::OraEBSConfig config = RichConfig();  // never half a message: old content goes too
    EXPECT_EQ(config.unserialize(c.text), c.accepted);
    EXPECT_EQ(config.empty(), !c.accepted);
    EXPECT_EQ(config.group(), 22);
    EXPECT_EQ(config.number(), 504);
    ASSERT_TRUE(config.unserialize(good));
    EXPECT_EQ(config.serialized(), good);
  }
  Hux::OraEBSConfig config;
  ASSERT_TRUE(config.unserialize(M("<i x=\"1\">4<!-- -->2</i>")));
  EXPECT_EQ(config.getint64(1, 0, 0), 42);
  ASSERT_TRUE(config.unserialize(Nested(PXMessageBase::kMaxDepth)));
  EXPECT_EQ(config.serialized(), Nested(PXMessageBase::kMaxDepth));
}

// The reader used by the log's redaction takes a message of any class, and only a message.
TEST(Message, ReadingAMessageOfAnyClass) {
  PXMessageBase any(0, 0);
  ASSERT_TRUE(any.unserializeAnyClass("<m g=\"20\" n=\"7\"><pw x=\"2\">s</pw></m>"));
  EXPECT_EQ(any.group(), 20);
  EXPECT_EQ(any.number(), 7);
  EXPECT_EQ(any.serialized(), "<m g=\"20\" n=\"7\"><pw x=\"2\">s</pw></m>");
  EXPECT_FALSE(any.unserializeAnyClass("<m g=\"20\" n=\"7\"><q x=\"1\"/></m>"));
  EXPECT_TRUE(any.empty());
}

TEST(Message, LenientWhereAPersonWritesByHand) {
  // Blanks between elements, an XML declaration, a root without its class, CDATA text.
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<m>\n  <i x=\"1\"> 2 </i>\n"
      "  <s x=\"2\" n=\"2\"><![CDATA[<b>&</b>]]></s>\n</m>\n";
  Hux::OraEBSReqResp request;
  ASSERT_TRUE(request.unserialize(text));
  EXPECT_EQ(View(request).get(Hux::OraEBSReqResp::messageType), 2);
  EXPECT_EQ(request.getstring(2, 2, 0, 0), "<b>&</b>");
  // Markup up to its bounds: an ignored attribute in a tag of 60 KiB, a CDATA section of 1000 KiB.
  const std::string cdata(1000u << 10, 'c');
  ASSERT_TRUE(request.unserialize("<m q='" + std::string(60u << 10, 'q') +
                                  "'><s x=\"2\"><![CDATA[" + cdata + "]]></s></m>"));
  EXPECT_TRUE(request.getstring(2, 0, 0, 0) == cdata);
  // The text is read as UTF-8 whatever it declares.
  ASSERT_TRUE(request.unserialize(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><m><s x=\"2\">\xC3\xA9</s></m>"));
  EXPECT_EQ(request.getstring(2, 0, 0, 0), "\xC3\xA9");
}

// Every password at any depth is replaced, children of lists too and the deepest one the reader
// accepts; strings (single and in lists) are handed over and their changes kept; nothing else
// changes and no absent child is made.
TEST(Message, ReplacePasswordsReachesEveryPasswordAndOnlyThem) {
  Hux::OraEBSConfig config = RichConfig();
  auto appNode = View(config)
                     .child(Hux::OraEBSConfig::appTier, Create::No)
                     .list(Hux::OraEBSAppTier::appNodes, Create::No)
                     .at(0);
  appNode.raw().setpstring(kUnknownIndex, 9, "in a list", 0, 44);
  const std::string before = config.serialized();
  ReplacePasswords(config, "***", [](std::string& s) { s += "!"; });
  const std::string after = config.serialized();
  EXPECT_EQ(after.find("word"), std::string::npos) << after;
  EXPECT_EQ(after.find("in a list"), std::string::npos) << after;
  auto cfg = View(config);
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::No);
  EXPECT_EQ(
      tier.child(Hux::OraEBSAppTier::databaseLogin, Create::No).get(UserCredentials::userName),
      "apps!");
  EXPECT_EQ(DbNode(config).list(Hux::OraEBSDBNode::dataDirectories, Create::No)[1], "/u01/data!");

  // Without passwords and without a string handler the text stays byte for byte.
  Hux::OraEBSConfig plain = RichConfig();
  tier = View(plain).child(Hux::OraEBSConfig::appTier, Create::No);
  tier.raw().removeField(Hux::OraEBSAppTier::databaseLogin.index);
  const std::string plainText = plain.serialized();
  ReplacePasswords(plain, "***");
  EXPECT_EQ(plain.serialized(), plainText);
  EXPECT_NE(before, after);

  ASSERT_TRUE(config.unserialize(Nested(PXMessageBase::kMaxDepth, "<pw x=\"2\">deepest</pw>")));
  ReplacePasswords(config, "");
  EXPECT_EQ(config.serialized().find("deepest"), std::string::npos);
}

// Strings are checked and escaped in one pass; one that turns out not to be XML text after
// some of it was written must come out as base64 alone, with nothing of the partial text.
TEST(Message, StringsThatTurnOutNotToBeTextAreWrittenWholeInBase64) {
  const struct {
    const char* what;
    std::string value;
    const char* written;  // as the field and as a list value: attributes after the name, and text
  } cases[] = {
      {"escapes at both ends and side by side", "<&a\r>>", ">&lt;&amp;a&#13;&gt;&gt;"},
      {"a control byte after escapes", "a&b\x01", " enc=\"base64\">YSZiAQ=="},
      {"a sequence cut at the end", "caf\xC3", " enc=\"base64\">Y2Fmww=="},
      {"an overlong form", "\xC0\xAF", " enc=\"base64\">wK8="},
      {"a surrogate", "\xED\xA0\x80", " enc=\"base64\">7aCA"},
      // Characters that are UTF-8 but that XML cannot hold.
      {"U+FFFE", "\xEF\xBF\xBE", " enc=\"base64\">77++"},
      {"U+FFFF between letters", std::string("a\xEF\xBF\xBF") + "b", " enc=\"base64\">Ye+/v2I="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PXMessageBase m(1, 2);
    m.setstring(1, 0, c.value, 0, 0);
    (*m.getliststring(2, 0, 0, 0, true))->push_back(c.value);
    const std::string text = m.serialized();
    EXPECT_EQ(text, std::string("<m g=\"1\" n=\"2\"><s x=\"1\"") + c.written +
                        "</s><ls x=\"2\"><v" + c.written + "</v></ls></m>");
    PXMessageBase copy(1, 2);
    ASSERT_TRUE(copy.unserialize(text));
    EXPECT_EQ(copy.getstring(1, 0, 0, 0), c.value);
    EXPECT_EQ((*copy.getliststring(2, 0, 0, 0, false))->at(0), c.value);
  }
}

// A null child clears the field, whatever it held: no field is left that the writer would write
// as an object without its message, which the reader refuses.
TEST(Message, ANullChildRemovesTheField) {
  const struct {
    const char* what;
    std::function<void(PXMessageBase&)> before;
  } cases[] = {
      {"an absent field", [](PXMessageBase&) {}},
      {"a field with a child",
       [](PXMessageBase& m) { m.setObjectAccessor(new PXMessageBase(1, 1), 3, 0, 0, 0); }},
      {"a string field", [](PXMessageBase& m) { m.setstring(3, 0, "s", 0, 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PXMessageBase m(1, 2);
    m.setint64(1, 0, 7, 0, 0);
    c.before(m);
    m.setObjectAccessor(nullptr, 3, 0, 0, 0);
    EXPECT_FALSE(m.isSet(3, 0, 0));
    EXPECT_EQ(m.serialized(), "<m g=\"1\" n=\"2\"><i x=\"1\">7</i></m>");
  }
}

// Values of any size arrive whole, whatever pieces the parser hands them over in: characters
// outside the BMP (two UTF-16 units) fall across every boundary of a piece.
TEST(Message, LargeValuesArriveWhole) {
  std::string large;
  for (int i = 0; large.size() < (1u << 20) + 77; ++i)
    large += i % 3 ? "\xF0\x9D\x84\x9E" : "a<\xC3\xA9";
  for (size_t offset : {0, 1, 2, 3}) {
    SCOPED_TRACE(offset);
    const std::string value = std::string(offset, 'x') + large;
    Hux::EnterpriseAppsReqResp envelope;
    View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, value);
    envelope.setpstring(9, 0, value, 0, 0);
    Hux::EnterpriseAppsReqResp copy;
    ASSERT_TRUE(copy.unserialize(envelope.serialized()));
    EXPECT_TRUE(View(copy).get(Hux::EnterpriseAppsReqResp::xmlString) == value);
    EXPECT_TRUE((*copy.getpstringobject(9, 0, 0, 0))->getPlainPassword().str() == value);
    // Taken out, the value leaves its field set and empty.
    EXPECT_TRUE(View(copy).take(Hux::EnterpriseAppsReqResp::xmlString) == value);
    EXPECT_TRUE(View(copy).isSet(Hux::EnterpriseAppsReqResp::xmlString));
    EXPECT_EQ(View(copy).get(Hux::EnterpriseAppsReqResp::xmlString), "");
  }
}

// Threads read and write at once, each with texts of its own.
TEST(Message, ThreadsReadAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      Hux::OraEBSConfig config = RichConfig();
      View(config).set(Hux::OraEBSConfig::appsVersion, "thread " + std::to_string(t));
      const std::string text = config.serialized();
      for (int i = 0; i < 200; ++i) {
        Hux::OraEBSConfig copy;
        if (!copy.unserialize(text) || copy.serialized() != text) ++mismatches[t];
        Hux::OraEBSConfig refused;
        if (refused.unserialize(M("<q x=\"1\"/>"))) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace

namespace {

std::string Escaped(std::string text, int times) {
  for (int i = 0; i < times; ++i) {
    std::string out;
    for (char c : text)
      out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    text = out;
  }
  return text;
}

}  // namespace

// The scan of the redaction on the forms it must read as the message reader would.
TEST(Redaction, QuotedValuesLongReferencesAndTheDepthBound) {
  const std::string zeros(300, '0');
  const std::string tooDeep = Escaped("<pw>s3cret</pw>", kMaxRedactionLevels + 1);
  const struct {
    const char* what;
    std::string text, redacted;
  } cases[] = {
      // A '>' inside a quoted attribute value does not end the start tag, whichever the quote.
      {"single quotes", "<pw x='a>b'>s3cret</pw>", "<pw x='a>b'>***</pw>"},
      {"double quotes", "<pw x=\"a>b\">s3cret</pw>", "<pw x=\"a>b\">***</pw>"},
      {"single quotes a level down", "&lt;pw x='a&gt;b'&gt;s3cret&lt;/pw&gt;",
       "&lt;pw x='a&gt;b'&gt;***&lt;/pw&gt;"},
      // One character written with hundreds of bytes, at the first level and the second.
      {"a long reference", "&#" + zeros + "60;pw>s3cret&lt;/pw>",
       "&#" + zeros + "60;pw>***&lt;/pw>"},
      {"a long reference a level down", "&amp;#x" + zeros + "3C;pw&gt;s3cret&amp;lt;/pw&gt;",
       "&amp;#x" + zeros + "3C;pw&gt;***&amp;lt;/pw&gt;"},
      // Escaped as often as the scan looks: masked; once more: not shown at all.
      {"at the depth bound", Escaped("<pw>s3cret</pw>", kMaxRedactionLevels),
       Escaped("<pw>", kMaxRedactionLevels) + "***" + Escaped("</pw>", kMaxRedactionLevels)},
      {"past the depth bound", tooDeep,
       "[" + std::to_string(tooDeep.size()) + " bytes escaped more than " +
           std::to_string(kMaxRedactionLevels) + " times, not shown]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RedactPasswords(c.text), c.redacted);
  }
}
