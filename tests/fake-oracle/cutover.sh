#!/usr/bin/env bash
# Simulates the cutover of an online-patching cycle on a fake (SIMULATED) Oracle home: EDITION
# (fs1 or fs2) becomes the run file system. As AutoConfig does on the new run file system, its
# application-tier context files are uploaded again, so the database holds them after the other
# edition's; discovery then reads every application node's values from them.
#   cutover.sh HOME EDITION
set -euo pipefail
home=${1:?usage: cutover.sh HOME EDITION}
edition=${2:?usage: cutover.sh HOME EDITION}
case $edition in
fs1 | fs2) ;;
*) echo "cutover.sh: EDITION is fs1 or fs2, not $edition" >&2; exit 2 ;;
esac
db=$home/fake/context.db
[ -f "$db" ] || { echo "cutover.sh: $db: no fake database there" >&2; exit 1; }
# The edition is a fixed word: nothing of the caller reaches the SQL text but fs1 or fs2.
sqlite3 -batch -bail "$db" <<SQL
BEGIN;
CREATE TEMP TABLE uploaded AS SELECT * FROM fnd_oam_context_files
  WHERE CTX_TYPE = 'A' AND instr(TEXT, 'oa_var="s_file_edition_name">$edition<') > 0;
DELETE FROM fnd_oam_context_files
  WHERE CTX_TYPE = 'A' AND instr(TEXT, 'oa_var="s_file_edition_name">$edition<') > 0;
INSERT INTO fnd_oam_context_files SELECT * FROM uploaded;
COMMIT;
SQL
