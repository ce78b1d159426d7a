#!/usr/bin/env python3
"""Writes the request envelopes that tools/compare-answers.sh sends to two builds, one file each,
named so that their sorted order is the order they are sent in (saves before the deletes that
remove them).

    tools/answer-envelopes.py SOURCE_DIR OUT_DIR

From SOURCE_DIR: every file of fuzz/corpus/*/ (entry_fuzz's first byte chooses, as the fuzz
target does, between the text as the envelope and as the inner request of an Oracle EBS envelope;
the other corpora's files are sent both ways) and the context files of tests/testdata as inner
requests. Then a generated set: every message type under every application type, saves of
configurations of 1 to 20 nodes, deletes of apps that exist and do not, discoveries of SIDs the
instance table does not hold, malformed and hostile texts (markup, entities, shell words, escapes
for a terminal, control characters, invalid UTF-8, long values), passwords at every level.
The clients the saves name are those compare-answers.sh registers: ebsdb01, ebsapp01, ebsapp02
(hosts NAME.example.com).
"""
import os
import sys

SRC, OUT = sys.argv[1], sys.argv[2]
os.makedirs(OUT, exist_ok=True)
count = 0


def emit(name, data):
    global count
    count += 1
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(OUT, "%04d-%s.xml" % (count, name)), "wb") as f:
        f.write(data)


def esc(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace("\r", "&#13;"))


def envelope(inner, app_type=1):
    head = "" if app_type is None else '<i x="1">%s</i>' % app_type
    body = "" if inner is None else '<s x="2">%s</s>' % esc(inner)
    return '<m g="22" n="506">%s%s</m>' % (head, body)


def s(index, value):
    return '<s x="%d">%s</s>' % (index, esc(value))


def login(user, password):
    return '<m g="20" n="0">%s<pw x="2">%s</pw></m>' % (s(1, user), esc(password))


def client(name):
    return '<o x="13"><m g="18" n="4">%s</m></o>' % s(1, name) if name is not None else ""


def db_node(host, client_name, value="PROD"):
    return ('<m g="22" n="500">%s%s%s%s<o x="6">%s</o>%s<ls x="18"><v>/u02/%s</v></ls></m>'
            % (s(1, value), s(2, host), s(5, "/u01/" + value), s(8, "/u01/%s/19.0.0" % value),
               login("oracle", "db-Os<Pw"), client(client_name), esc(value)))


def app_node(host, client_name, editions=2, value="PROD"):
    contexts = "".join('<m g="22" n="499">%s%s%s</m>' % (s(1, e), s(2, host), s(7, value + "_" + host))
                       for e in ["run", "patch"][:editions])
    return ('<m g="22" n="501">%s%s<o x="6">%s</o><lo x="11">%s</lo><li x="12"><v>1</v><v>8</v></li>%s</m>'
            % (s(1, "/u01/" + value), s(2, host), login("applmgr", "app-Os&Pw"), contexts,
               client(client_name)))


def config(db_hosts, app_hosts, value="PROD", app_id=None, app_name=None, with_clients=True):
    db = "".join(db_node(h, h.split(".")[0] if with_clients else None, value) for h in db_hosts)
    apps = "".join(app_node(h, h.split(".")[0] if with_clients else None, 2, value) for h in app_hosts)
    virtual = ""
    if app_id is not None or app_name is not None:
        fields = ('<i x="0">%s</i>' % app_id if app_id is not None else "") + \
                 (s(1, app_name) if app_name is not None else "")
        virtual = '<o x="5"><m g="18" n="129">%s</m></o>' % fields
    return ('<m g="22" n="504">%s<o x="3"><m g="22" n="502">%s%s%s<o x="5">%s</o><lo x="9">%s</lo>%s</m></o>'
            '<o x="4"><m g="22" n="503">%s<o x="3">%s</o><lo x="7">%s</lo></m></o>%s</m>'
            % (s(1, "12.2.10"), s(1, value), s(2, value), s(3, "1521"), login("oracle", "db-Os<Pw"),
               db, s(11, "dba"), s(1, "ebsapp01.example.com"), login("apps", "apps-Login&pw"), apps,
               virtual))


def inner(message_type, cfg=None):
    head = '<i x="1">%s</i>' % message_type if message_type is not None else ""
    return '<m g="22" n="505">%s%s</m>' % (head, '<o x="2">%s</o>' % cfg if cfg else "")


# The fuzz corpora and the tests' context files.
corpus = os.path.join(SRC, "fuzz", "corpus")
for target in sorted(os.listdir(corpus)):
    for name in sorted(os.listdir(os.path.join(corpus, target))):
        data = open(os.path.join(corpus, target, name), "rb").read()
        text = data.decode("utf-8", "surrogateescape")
        label = "%s-%s" % (target, name.replace(".", "_"))
        if target == "entry_fuzz":
            if not data:
                continue
            rest = text[1:]
            emit(label, envelope(rest) if data[0] & 1 else rest)
        else:
            emit(label + "-as-envelope", text)
            emit(label + "-as-inner", envelope(text))
testdata = os.path.join(SRC, "tests", "testdata")
for name in sorted(os.listdir(testdata)):
    if name.endswith(".xml"):
        text = open(os.path.join(testdata, name), "rb").read().decode("utf-8", "surrogateescape")
        emit("testdata-" + name.replace(".", "_"), envelope(text))

# Every message type under every application type, without and with a configuration.
small = config(["ebsdb01.example.com"], ["ebsapp01.example.com"], app_name="typed")
for app_type in [None, 0, 1, 2, 3, -1, 99, "9223372036854775807", "x", " 1 "]:
    for message_type in [None, 0, 1, 2, 3, 8, 9, -1, "99999999999999999999", "two"]:
        for cfg in [None, small]:
            emit("type-%s-%s-%s" % (app_type, message_type, "cfg" if cfg else "bare"),
                 envelope(inner(message_type, cfg), app_type))

# Saves: 1 to 20 nodes, clients known and unknown, names plain and hostile.
HOSTILE = [
    "", " ", "a" * 5000, "<m g=\"22\" n=\"505\">", "]]>", "&amp;&lt;", "'\"`", "$(touch /tmp/pwned)",
    "`id`", "; rm -rf /", "../../etc/passwd", "/etc/shadow", "\x1b[31mred\x1b[0m", "\x1b]0;title\x07",
    "line\nbreak", "cr\rreturn", "tab\there", "\u202eevil", "naïve ☃ 日本", "\ufeffbom", "%s%n%x",
    "\udcff\udcfe", "nul\x01\x02\x7f", "PROD\x00hidden",
]
for n in range(1, 21):
    apps = ["ebsapp%02d.example.com" % (i % 2 + 1) if i < 2 else "node%02d.example.com" % i
            for i in range(n)]
    emit("save-%02d-nodes" % n,
         envelope(inner(1, config(["ebsdb01.example.com"], apps, app_name="app%d" % n))))
emit("save-no-clients", envelope(inner(1, config(["ebsdb01.example.com"], ["ebsapp01.example.com"],
                                                 app_name="noclients", with_clients=False))))
emit("save-twenty-db-nodes", envelope(inner(1, config(["db%02d.example.com" % i for i in range(20)],
                                                      ["ebsapp02.example.com"], app_name="many-db"))))
emit("save-empty-config", envelope(inner(1, '<m g="22" n="504"></m>')))
emit("save-no-config", envelope(inner(1)))
for i, value in enumerate(HOSTILE):
    emit("save-hostile-name-%02d" % i, envelope(inner(1, config(["ebsdb01.example.com"],
                                                                ["ebsapp01.example.com"], app_name=value))))
    emit("save-hostile-values-%02d" % i, envelope(inner(1, config(["ebsdb01.example.com"],
                                                                  ["ebsapp02.example.com"], value=value,
                                                                  app_name="v%d" % i))))
    emit("save-hostile-host-%02d" % i, envelope(inner(1, config([value], [value + ".example.com"],
                                                                app_name="h%d" % i))))
    emit("discover-hostile-sid-%02d" % i, envelope(inner(2, config([], [], value=value))))
    emit("envelope-hostile-inner-%02d" % i, envelope(value))
    emit("raw-hostile-%02d" % i, value)
for app_id in [1, 2, 3, 5, 1, 0, -1, 9223372036854775807, "x", None]:
    emit("save-over-%s" % app_id, envelope(inner(1, config(["ebsdb01.example.com"],
                                                           ["ebsapp01.example.com"], app_id=app_id,
                                                           app_name="again"))))

# Discoveries of SIDs the instance table does not hold, and without a SID.
for sid in ["PROD", "VIS", "", "prod", "P" * 300]:
    emit("discover-%s" % sid[:10], envelope(inner(2, config([], [], value=sid))))
emit("discover-no-config", envelope(inner(2)))

# Malformed envelopes and inner texts.
MALFORMED = [
    "", "<", "<m>", "<m g=\"22\" n=\"506\">", "<m g=\"22\" n=\"507\"></m>", "<m g=\"x\" n=\"506\"></m>",
    "<?xml version=\"1.0\"?><m g=\"22\" n=\"506\"><i x=\"1\">1</i></m>",
    "<!DOCTYPE m [<!ENTITY e SYSTEM \"file:///etc/shadow\">]><m g=\"22\" n=\"506\"><s x=\"2\">&e;</s></m>",
    "<!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><m><s x=\"2\">&b;</s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><i x=\"1\">2</i></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\">a</s><s x=\"2\">b</s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"99\">unknown</s><s x=\"2\">&lt;m/&gt;</s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><o x=\"3\"><m g=\"22\" n=\"422\"><i x=\"1\">5</i></m></o></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\" enc=\"base64\">PG0vPg==</s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\" enc=\"base64\">!!!</s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"40000\">1</i></m>", "<m g=\"22\" n=\"506\"><i x=\"-1\">1</i></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><pw x=\"2\">secret</pw></m>",
    "<m g=\"22\" n=\"506\"><b x=\"1\">1</b></m>", "\xef\xbb\xbf<m g=\"22\" n=\"506\"></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\"><![CDATA[<m g=\"22\" n=\"505\"><i x=\"1\">8</i></m>]]></s></m>",
    "<m g=\"22\" n=\"506\"><i x=\"1\">1</i><s x=\"2\">&lt;!-- c --&gt;&lt;m g=\"22\" n=\"505\"&gt;&lt;/m&gt;</s></m>",
]
for i, text in enumerate(MALFORMED):
    emit("malformed-envelope-%02d" % i, text)
    emit("malformed-inner-%02d" % i, envelope(text))
nested = inner(8)
for depth in range(6):
    nested = '<m g="22" n="505"><o x="2">%s</o></m>' % nested.replace('g="22" n="505"', 'g="22" n="504"', 1)
    emit("nested-%d" % depth, envelope(nested))
emit("deep", envelope("<m g=\"22\" n=\"505\">" + "<o x=\"2\"><m g=\"22\" n=\"504\">" * 200 +
                      "</m></o>" * 200 + "</m>"))
emit("passwords-at-three-levels", envelope(
    "<m g=\"22\" n=\"505\"><i x=\"1\">7</i><s x=\"9\">&lt;pw x=\"1\"&gt;s3cret&lt;/pw&gt; "
    "&amp;lt;pw&amp;gt;x&amp;lt;/pw&amp;gt;</s><pw x=\"10\">top</pw></m>"))

# Deletes last: apps the saves made, and ids no app has.
for app_id in [1, 2, 3, 4, 1, 0, -1, 9223372036854775807, "x", "", None, " 2 ", "1e3"]:
    emit("delete-%s" % app_id, envelope(inner(8, config([], [], app_id=app_id))))
emit("delete-no-config", envelope(inner(8)))
emit("delete-no-app", envelope(inner(8, '<m g="22" n="504"></m>')))
print(count)
