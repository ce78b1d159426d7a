-- A store of schema version 3, made by ebs-host before it recorded who saved each app and the
-- last drift check: as store-v2.sql, with the hosts index and the discovery metadata of VIS (1).
-- `sqlite3 store.db .dump` output, plus the application id and schema version, which .dump
-- leaves out.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE clients (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  hive_id INTEGER NOT NULL DEFAULT 0
);
INSERT INTO clients VALUES(1,'ebsdb01',1);
INSERT INTO clients VALUES(3,'ebsapp01',2);
CREATE TABLE apps (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  type INTEGER NOT NULL,
  config TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
INSERT INTO apps VALUES(1,'VIS',64,'<m g="22" n="504"><s x="1" n="1" id="16063704">12.2.10</s></m>','2026-12-06T16:41:42Z');
INSERT INTO apps VALUES(2,'TEST',64,'<m g="22" n="504"></m>','2026-12-06T16:41:43Z');
CREATE TABLE client_hosts (
  host TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE
);
INSERT INTO client_hosts VALUES('ebsdb01.example.com',1);
INSERT INTO client_hosts VALUES('ebsapp01.example.com',3);
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
CREATE TABLE app_metadata (
  app_id INTEGER NOT NULL PRIMARY KEY REFERENCES apps(id) ON DELETE CASCADE,
  sid TEXT NOT NULL,
  db_user TEXT NOT NULL,
  discovered_at TEXT NOT NULL,
  plugin_version TEXT NOT NULL
);
INSERT INTO app_metadata VALUES(1,'VIS','apps','2026-12-06T16:41:40Z','1.4.0');
DELETE FROM sqlite_sequence;
INSERT INTO sqlite_sequence VALUES('clients',3);
INSERT INTO sqlite_sequence VALUES('apps',3);
CREATE INDEX client_hosts_by_client ON client_hosts (client_id);
COMMIT;
PRAGMA application_id = 1161974600;
PRAGMA user_version = 3;
