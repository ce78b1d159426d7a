-- A store of schema version 1, made by ebs-host before ids were kept unique: clients ebsdb01 (1),
-- retired (2, removed again) and ebsapp01 (3); virtual apps VIS (1), TEST (2, deleted again) and
-- LAST (3), saved with nodes on ebsdb01 and ebsapp01. `sqlite3 store.db .dump` output, plus the
-- schema version, which .dump leaves out.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE clients (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  hive_id INTEGER NOT NULL DEFAULT 0
);
INSERT INTO clients VALUES(1,'ebsdb01',1);
INSERT INTO clients VALUES(3,'ebsapp01',2);
CREATE TABLE client_hosts (
  host TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE
);
INSERT INTO client_hosts VALUES('ebsdb01.example.com',1);
INSERT INTO client_hosts VALUES('ebsapp01.example.com',3);
INSERT INTO client_hosts VALUES('EBSAPP01-vip.example.com',3);
CREATE TABLE apps (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  type INTEGER NOT NULL,
  config TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
INSERT INTO apps VALUES(1,'VIS',64,'<m g="22" n="504"><s x="1" n="1" id="16063704">12.2.10</s><o x="3" n="9" id="3236736"><m g="22" n="502"><s x="1" n="1" id="11467632">VIS</s><lo x="9" n="24" id="11089107"><m g="22" n="500"><s x="2" n="5" id="1232979">ebsdb01</s><o x="6" n="21" id="13055347"><m g="20" n="0"><s x="1" n="1" id="1768694">oracle</s><pw x="2" n="5" id="9026203"></pw></m></o><o x="13" n="43" id="11242014"><m g="18" n="4"><i x="0" id="2438726">1</i><s x="1" n="1" id="11732214">ebsdb01</s><i x="6" n="18" id="1107017">1</i></m></o></m></lo></m></o><o x="4" n="10" id="11356067"><m g="22" n="503"><lo x="7" n="16" id="11130128"><m g="22" n="501"><s x="2" n="5" id="1232979">ebsapp01</s><o x="13" n="37" id="11242014"><m g="18" n="4"><i x="0" id="2438726">3</i><s x="1" n="1" id="11732214">ebsapp01</s><i x="6" n="18" id="1107017">1</i></m></o></m></lo></m></o><o x="5" n="11" id="3581387"><m g="18" n="129"><s x="1" n="1" id="11384566">VIS</s></m></o></m>','2026-12-06T16:41:42Z');
INSERT INTO apps VALUES(3,'LAST',64,'<m g="22" n="504"><s x="1" n="1" id="16063704">12.2.10</s><o x="3" n="9" id="3236736"><m g="22" n="502"><s x="1" n="1" id="11467632">VIS</s><lo x="9" n="24" id="11089107"><m g="22" n="500"><s x="2" n="5" id="1232979">ebsdb01</s><o x="6" n="21" id="13055347"><m g="20" n="0"><s x="1" n="1" id="1768694">oracle</s><pw x="2" n="5" id="9026203"></pw></m></o><o x="13" n="43" id="11242014"><m g="18" n="4"><i x="0" id="2438726">1</i><s x="1" n="1" id="11732214">ebsdb01</s><i x="6" n="18" id="1107017">1</i></m></o></m></lo></m></o><o x="4" n="10" id="11356067"><m g="22" n="503"><lo x="7" n="16" id="11130128"><m g="22" n="501"><s x="2" n="5" id="1232979">ebsapp01</s><o x="13" n="37" id="11242014"><m g="18" n="4"><i x="0" id="2438726">3</i><s x="1" n="1" id="11732214">ebsapp01</s><i x="6" n="18" id="1107017">1</i></m></o></m></lo></m></o><o x="5" n="11" id="3581387"><m g="18" n="129"><s x="1" n="1" id="11384566">LAST</s></m></o></m>','2026-12-06T16:41:43Z');
CREATE TABLE registry_values (
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE,
  path TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  value TEXT NOT NULL,
  mode INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  options INTEGER NOT NULL,
  PRIMARY KEY (client_id, path, name)
);
INSERT INTO registry_values VALUES(1,'Huxwire','nCollectClientConfig','INTEGER','1',1,0,0);
INSERT INTO registry_values VALUES(3,'Huxwire','nCollectClientConfig','INTEGER','1',1,0,0);
COMMIT;
PRAGMA user_version = 1;
