// The schema of a PostgreSQL store: schema `ebs` (every name qualified), its version table, the
// group roles ebs_admin and ebs_host, their grants and the row-level-security policies that
// confine each host to the apps its login role saved.
#pragma once

#include <libpq-fe.h>

#include <string>

#include "base/status.h"

// Creates the schema, roles, grants and policies, or finds them at the current version; run by
// the database's owner, under an advisory lock, in one transaction. `done` says what it did.
Status InitPostgresSchema(PGconn* conn, std::string* done);

// OK when the database holds this program's schema at the current version; otherwise an error
// that says what `store init` would do about it.
Status CheckPostgresSchema(PGconn* conn);
