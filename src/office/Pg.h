#pragma once
// What the office's database code shares over libpq: a result freed on
// every path, a connection's last error as one line, a connection opened and
// reset again after a failure, and bytea as PostgreSQL prints it.
#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

struct PgResult {
    PGresult* r;
    explicit PgResult(PGresult* res) : r(res) {}
    ~PgResult() { PQclear(r); }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    bool Ok() const {
        const auto s = PQresultStatus(r);
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
};

// The connection's last error, one line ("no connection" without one).
std::string PgErrorOf(pg_conn* conn);

// Opens *conn (closing one there) with libpq's connection string; notices
// are dropped. False with the reason (*conn stays, to be reset later).
bool PgOpen(pg_conn** conn, const std::string& conninfo, std::string* why);
// A connection ready for a query: as it is, opened, or reset after a failure.
bool PgUsable(pg_conn** conn, const std::string& conninfo, std::string* why);

// A text[] parameter of these texts, each quoted ("{\"a\",\"b\"}").
std::string PgTextArray(const std::vector<std::string>& items);

// bytea in PostgreSQL's hex output ("\x0a1b..."); false for anything else.
bool DecodeBytea(const char* text, std::vector<std::uint8_t>* out);
