// What ebs-host prints is safe for the terminal of root who runs it: values of instances, of the
// store and of requests never reach it raw (no escape sequence, no forged line, no reordered
// text), a command it suggests is shell-quoted and offered only for names that `clients add`
// takes, and a value at a password's place is masked in every output, whatever its kind, as is
// the password of a PostgreSQL store's URI.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>

#include "cli_host.h"
#include "store_location.h"
#include "support/plugin.h"
#include "support/worker_access.h"
#include "terminal_text.h"

namespace {

// Where `text` holds a character that a terminal acts upon (C0 but line feed, DEL, C1, the
// bidirectional controls) or a byte that is not UTF-8; npos when nowhere. `escapes`: the
// sequences of ebs-host's own styling are allowed.
size_t RawControl(const std::string& text, bool escapes = false) {
  std::string rest = text;
  if (escapes) rest = std::regex_replace(rest, std::regex("\033\\[[01]m"), "");
  const auto* p = reinterpret_cast<const unsigned char*>(rest.data());
  for (size_t i = 0; i < rest.size();) {
    const unsigned c = p[i];
    if (c < 0x80) {
      if ((c < 0x20 && c != '\n') || c == 0x7F) return i;
      ++i;
      continue;
    }
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length == 0 || i + length > rest.size()) return i;
    uint32_t cp = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp <= 0x9F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) return i;
    i += length;
  }
  return std::string::npos;
}

TEST(TerminalText, EveryCharacterATerminalActsUponIsEscaped) {
  const struct {
    std::string value, shown;
  } cases[] = {
      {"ebsapp01.example.com", "ebsapp01.example.com"},
      // An SGR that hides what follows, a forged line, a bell, a line overwritten.
      {"a\033[8m; curl x | sh #", "a\\e[8m; curl x | sh #"},
      {"ebsapp03\ndrift: none", "ebsapp03\\ndrift: none"},
      {"x\a\r\tdrift: none", "x\\x07\\r\\tdrift: none"},
      {"del\x7f", "del\\x7f"},
      // C1 controls as characters (the CSI and the OSC), raw bytes that are no UTF-8.
      {"a\xc2\x9b"
       "2Jb\xc2\x9d",
       "a\\u009b2Jb\\u009d"},
      {"a\x9b"
       "2J\xff",
       "a\\x9b2J\\xff"},
      // Overlong and surrogate forms, a character cut short.
      {"\xc0\xaf\xed\xa0\x80\xe2\x80", "\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x80"},
      // Overrides and isolates that reorder text; marks that do not stay.
      {"\xe2\x80\xaegnp.exe\xe2\x81\xa6x\xe2\x81\xa9", "\\u202egnp.exe\\u2066x\\u2069"},
      {"\xe2\x80\xa9 \xe2\x80\xa6 caf\xc3\xa9 C:\\x \xf0\x9f\x98\x80",
       "\xe2\x80\xa9 \xe2\x80\xa6 caf\xc3\xa9 C:\\x \xf0\x9f\x98\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(Shown(c.value), c.shown);
    EXPECT_EQ(RawControl(Shown(c.value)), std::string::npos);
  }
  EXPECT_EQ(ShownWidth(Shown("caf\xc3\xa9\xc2\x9b")), 4u + 6u);

  // The documents for programs keep every value; only the characters are written otherwise.
  const std::string value = "h\033\n\x7f\xc2\x9b\xe2\x80\xae\xc3\xa9";
  const std::string json = JsonForTerminal(nlohmann::ordered_json{{"host", value}}.dump(2));
  EXPECT_EQ(RawControl(json), std::string::npos) << json;
  EXPECT_EQ(nlohmann::json::parse(json)["host"], value);
  NqEntities::ClientEntity client;
  View(client).set(NqEntities::ClientEntity::clientName, value);
  View(client).set(NqEntities::ClientEntity::clientName, "x\x7f\xc2\x9b\xe2\x81\xa7y");
  const std::string xml = XmlForTerminal(client.serialized());
  EXPECT_EQ(RawControl(xml), std::string::npos) << xml;
  NqEntities::ClientEntity read;
  ASSERT_TRUE(read.unserialize(xml)) << xml;
  EXPECT_EQ(View(read).get(NqEntities::ClientEntity::clientName), "x\x7f\xc2\x9b\xe2\x81\xa7y");
}

// Hosts, clients and an app whose names carry controls, read back by every command that shows
// them; one host asks for a command substitution when pasted.
std::string HostileConfig() {
  Hux::OraEBSReqResp answer;
  auto cfg = View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  cfg.set(Hux::OraEBSConfig::appsVersion, "12.2\033]0;owned\a");
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes)
                .list(Hux::OraEBSDBTier::dbNodes, Create::Yes)
                .append();
  db.set(Hux::OraEBSDBNode::hostName, "ebsdb01\r\033[2Kdrift: none");
  db.set(Hux::OraEBSDBNode::oracleHome,
         "/u01/\xc2\x9b"
         "8m\xe2\x80\xae"
         "db");
  db.child(Hux::OraEBSDBNode::client, Create::Yes)
      .set(NqEntities::ClientEntity::clientName, "evil\033[8m client");
  auto nodes = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes)
                   .list(Hux::OraEBSAppTier::appNodes, Create::Yes);
  nodes.append().set(Hux::OraEBSAppNode::hostName, "ebsapp03$(touch${IFS}/tmp/x)");
  nodes.append().set(Hux::OraEBSAppNode::hostName, "ebsapp04\033[8m; curl x | sh #");
  nodes.append().set(Hux::OraEBSAppNode::hostName, "ebsapp05");
  return answer.serialized();
}

TEST(HostTerminal, ValuesReachNoTerminalRaw) {
  HostSandbox sandbox;
  TempDir dir;
  WriteFile(dir.file("config.xml"), HostileConfig());
  AddClient(sandbox, "evil\033[8m client", {"evil.example.com"}, 1);
  const std::string app =
      "'PROD\xc2\x9b"
      "2J\x9b\xe2\x80\xae'";
  HostRun save = Host("save --name " + app + " --config " + dir.file("config.xml"));
  ASSERT_EQ(save.status, 0) << save.err;
  // Every command that shows the values, in each of its forms for people and programs.
  const std::string args[] = {"apps list", "apps show 1", "--json apps show 1", "--xml apps show 1",
                              "clients list", "--json clients list",
                              // A failure naming a value.
                              "clients remove --name 'x\033]0;title\a'",
                              // The log lines of the save, shown as they come.
                              "-v save --name Q --config " + dir.file("config.xml")};
  for (const std::string& arg : args) {
    SCOPED_TRACE(arg);
    HostRun r = Host(arg);
    EXPECT_EQ(RawControl(r.out), std::string::npos) << r.out;
    EXPECT_EQ(RawControl(r.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(RawControl(save.out), std::string::npos) << save.out;
  EXPECT_EQ(RawControl(save.err), std::string::npos) << save.err;
  // No line is forged; the values show escaped where they stand.
  HostRun show = Host("apps show 1");
  EXPECT_EQ(show.out.find("\ndrift: none"), std::string::npos);
  EXPECT_NE(show.out.find("  node ebsdb01\\r\\e[2Kdrift: none  [-]  client evil\\e[8m client"),
            std::string::npos)
      << show.out;
  EXPECT_NE(show.out.find("oracle home  /u01/\\u009b8m\\u202edb\n"), std::string::npos);
  EXPECT_NE(show.out.find("Virtual app PROD\\u009b2J\\x9b\\u202e (id 1"), std::string::npos);

  // A command is suggested, quoted, only for a name that `clients add` takes.
  EXPECT_NE(save.err.find("register it with: ebs-host clients add --name ebsapp05 --host "
                          "'ebsapp05.<domain>'\n"),
            std::string::npos)
      << save.err;
  const std::string refused = "; its name is no host name, so no client can be registered for it";
  EXPECT_NE(save.err.find("node ebsapp03$(touch${IFS}/tmp/x) has no client: discovery looks it "
                          "up as ebsapp03$(touch${IFS}/tmp/x).<domain of its context file>" +
                          refused),
            std::string::npos)
      << save.err;
  EXPECT_NE(save.err.find("node ebsapp04\\e[8m; curl x | sh # has no client"), std::string::npos);
  size_t suggested = 0;
  for (size_t at = 0; (at = save.err.find("register it with", at)) != std::string::npos; ++at)
    ++suggested;
  EXPECT_EQ(suggested, 1u) << save.err;
}

// On a terminal the table's header is styled and its columns line up as the terminal shows the
// escaped cells: a cell counts its characters, not its bytes. Without NO_COLOR only, and never in
// an --output file.
TEST(HostTerminal, TablesOnATerminalAlignTheEscapedCells) {
  HostSandbox sandbox;
  TempDir dir;
  AddClient(sandbox, "caf\xc3\xa9\xc2\x9b", {"a.example.com"}, 1);
  AddClient(sandbox, "plain", {"b.example.com"}, 22);
  HostRun plain = HostOnTerminal("clients list", "NO_COLOR=1");
  EXPECT_NE(plain.out.find("b.example.com"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.out.find('\033'), std::string::npos) << plain.out;
  ASSERT_EQ(HostOnTerminal("clients list --output " + dir.file("table.txt")).status, 0);
  EXPECT_NE(ReadFile(dir.file("table.txt")).find("b.example.com"), std::string::npos);
  EXPECT_EQ(ReadFile(dir.file("table.txt")).find('\033'), std::string::npos);
  HostRun tty = HostOnTerminal("clients list");
  ASSERT_EQ(tty.status, 0) << tty.out << tty.err;
  const std::string& out = tty.out;
  EXPECT_NE(out.find("\033[1m"), std::string::npos) << out;
  EXPECT_EQ(RawControl(std::regex_replace(out, std::regex("\r\n"), "\n"), true), std::string::npos)
      << out;
  // The DOMAIN column starts at the same character in every row.
  std::vector<size_t> columns;
  for (const std::string& line :
       Split(std::regex_replace(out, std::regex("\r|\033\\[[01]m"), ""))) {
    std::smatch third;  // the start of the third cell: after the second run of blanks
    if (!std::regex_search(line, third, std::regex("^\\S+ {2,}\\S+ {2,}"))) continue;
    size_t characters = 0;  // counted here, not by the code under test
    for (char c : third.str()) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    columns.push_back(characters);
  }
  ASSERT_EQ(columns.size(), 3u) << out;
  EXPECT_EQ(columns[0], columns[1]) << out;
  EXPECT_EQ(columns[0], columns[2]) << out;
}

// The login's password sent as a string, a list or a child message instead of a password field:
// the request is refused for an empty password, and the value is masked in the log and in every
// form of the output (and never kept by a save).
TEST(HostTerminal, AValueAtAPasswordsPlaceIsMaskedInEveryOutput) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string secret = "Str1ng-Pa55";
  const std::string fields[] = {
      "<s x=\"2\">" + secret + "</s>",
      "<ls x=\"2\"><v>" + secret + "</v></ls>",
      "<o x=\"2\"><m g=\"20\" n=\"0\"><s x=\"1\">" + secret + "</s></m></o>",
  };
  for (const std::string& field : fields) {
    SCOPED_TRACE(field);
    const std::string inner =
        "<m g=\"22\" n=\"505\"><i x=\"1\">2</i><o x=\"2\"><m g=\"22\" n=\"504\"><o x=\"3\">"
        "<m g=\"22\" n=\"502\"><s x=\"2\">PROD</s></m></o><o x=\"4\"><m g=\"22\" n=\"503\">"
        "<o x=\"3\"><m g=\"20\" n=\"0\"><s x=\"1\">apps</s>" +
        field +
        "</m></o><lo x=\"7\"><m g=\"22\" n=\"501\"><s "
        "x=\"2\">app01</s></m></lo></m></o></m></o></m>";
    WriteFile(dir.file("request.xml"), Envelope(1, inner));
    WriteFile(dir.file("config.xml"), inner);
    for (const char* options : {"", "--json ", "--xml ", "-v "}) {
      SCOPED_TRACE(options);
      HostRun r = Host(std::string(options) + "request " + dir.file("request.xml"));
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    }
    HostRun json = Host("--json request " + dir.file("request.xml"));
    const nlohmann::json doc = OneDocument(json.out);
    EXPECT_EQ(doc["answer"]["ebsConfig"]["appTier"]["databaseLogin"]["password"], "***")
        << json.out;
    // Saved, the configuration keeps no value at the place.
    HostRun save = Host("--json save --name P --config " + dir.file("config.xml"));
    EXPECT_EQ(save.out.find(secret), std::string::npos) << save.out;
    const nlohmann::json saved = OneDocument(save.out);
    ASSERT_TRUE(saved.contains("appId")) << save.out << save.err;
    const std::string id = std::to_string(saved["appId"].get<int64_t>());
    for (const char* options : {"", "--json ", "--show-secrets --xml "})
      EXPECT_EQ(Host(options + std::string("apps show ") + id).out.find(secret), std::string::npos)
          << options;
    Host("delete --app-id " + id);
    EXPECT_EQ(sandbox.log().find(secret), std::string::npos) << sandbox.log();
  }
}

// A store URI's password stands where libpq reads one: masked there and nowhere else.
TEST(StoreLocation, ThePasswordIsMaskedWhereLibpqReadsIt) {
  const struct {
    const char* location;
    const char* masked;  // "": as it is, no password
  } cases[] = {
      {"/var/lib/ebs-host/store.db", ""},
      {"/srv/u:secret@host/store.db", ""},  // a file path, whatever it holds
      {"postgresql://u@db.example.com/ebs", ""},
      {"postgresql:///ebs?host=/run/pg&port=5433&user=host_a", ""},
      {"postgres://db:5432/ebs", ""},  // a port is no password
      {"postgresql://u:secret@db/ebs", "postgresql://u:****@db/ebs"},
      {"postgresql://u:@db/ebs", "postgresql://u:****@db/ebs"},  // empty, still refused
      // ':', '?' and '&' belong to the password until the '@'.
      {"postgresql://u:se:c?r&et@db/ebs", "postgresql://u:****@db/ebs"},
      // A '/' before any '@' ends the user part: the '@' is the database's.
      {"postgresql://db:5432/e@bs", ""},
      {"postgresql:///ebs?user=u&password=secret&port=5",
       "postgresql:///ebs?user=u&password=****&port=5"},
      {"postgresql:///ebs?%70assword=secret", "postgresql:///ebs?%70assword=****"},  // decoded name
      {"postgresql://u:one1@db/ebs?password=two2", "postgresql://u:****@db/ebs?password=****"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    const std::string masked = *c.masked ? c.masked : c.location;
    EXPECT_EQ(MaskedLocation(c.location), masked);
    EXPECT_EQ(CarriesPassword(c.location), *c.masked != '\0');
    EXPECT_EQ(WithoutPassword(std::string("cannot reach ") + c.location + ": bad", c.location),
              "cannot reach " + masked + ": bad");
  }
  // A message that names the password alone, as written or decoded, has it masked too.
  EXPECT_EQ(WithoutPassword("no secret or s%65cret", "postgresql://u:s%65cret@db/ebs"),
            "no **** or ****");
}

// Whatever the command and the form of its output, the password of a store's URI is never
// printed: not for --store (refused before use), not for EBS_HOST_STORE or --to (the store
// refuses it), nor on a terminal.
TEST(HostTerminal, AStorePasswordIsNeverPrinted) {
  HostSandbox sandbox;
  const std::string uri = "postgresql://u:s3cret-pw@/db?password=s3cret-too";
  const struct {
    std::string args, env;
    int status;
  } cases[] = {
      {"--store " + ShellWord(uri) + " apps list", "", 2},
      {"--store=" + ShellWord(uri) + " clients list", "", 2},
      {"apps list", "EBS_HOST_STORE=" + ShellWord(uri), 3},
      {"store init", "EBS_HOST_STORE=" + ShellWord(uri), 3},
      {"apps show 1", "EBS_HOST_STORE=" + ShellWord(uri), 3},
      {"store copy --to " + ShellWord(uri), "", 2},
      {"store copy --to " + ShellWord(uri), "EBS_HOST_STORE=" + ShellWord(uri), 2},
      {"clients add --name c --host c.example.com", "EBS_HOST_STORE=" + ShellWord(uri), 3},
  };
  for (const auto& c : cases)
    for (const char* form : {"", "--json "}) {
      SCOPED_TRACE(form + c.args);
      HostRun r = Host(form + c.args, c.env);
      EXPECT_EQ(r.status, c.status) << r.out << r.err;
      EXPECT_EQ((r.out + r.err).find("s3cret"), std::string::npos) << r.out << r.err;
    }
  HostRun shown = HostOnTerminal("--store " + ShellWord(uri) + " apps list");
  EXPECT_EQ(shown.out.find("s3cret"), std::string::npos) << shown.out;
}

}  // namespace
