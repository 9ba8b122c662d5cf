// The engine tests' side of the two stores: a run against the server store
// skips every test when no cluster came up, and drops the files this
// process made on the server when it ends. Test programs include this once
// per translation unit that defines tests.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <string>

#include "tests/btrengine/place.h"

namespace btr::test {

// Runs SQL on the test's server; true when it ran. (The tests' own
// connection: what they look at or do behind the engine's back.)
inline bool ServerSql(const std::string& sql, std::string* firstValue = nullptr) {
    PGconn* c = PQconnectdb(ServerUri().c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(c, sql.c_str());
        ok = PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
        if (ok && firstValue) *firstValue = PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
    }
    PQfinish(c);
    return ok;
}

class ServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (ServerWanted() && ServerUri().empty()) GTEST_SKIP() << "no PostgreSQL cluster: the server store is not tested";
    }
    void TearDown() override {
        if (ServerUri().empty()) return;
        // What this process left on the server; a file still in a client's
        // transaction is left to the throwaway cluster.
        ServerSql("SET lock_timeout='2s'; DO $$ DECLARE f record; BEGIN FOR f IN SELECT name, id FROM btrkit_files WHERE "
                  "name LIKE '" + ServerPrefix() + "%' LOOP EXECUTE format('DROP TABLE IF EXISTS btrkit_%s; DROP SEQUENCE IF "
                  "EXISTS btrkit_%s_pos', f.id, f.id); DELETE FROM btrkit_files WHERE name=f.name; END LOOP; END $$");
    }
};

inline const bool kServerEnvironment = (::testing::AddGlobalTestEnvironment(new ServerEnvironment), true);

} // namespace btr::test
