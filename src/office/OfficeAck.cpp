// What the office's page writes into the database: acknowledgements made at
// the office, and the operators who may log in.
#include <libpq-fe.h>

#include "office/OfficeDb.h"
#include "office/Pg.h"

bool OfficeDatabase::Acknowledge(const std::string& alarmKey, const std::string& by, const std::string& comment,
                                 std::string* why) {
    if (!Usable(why)) return false;
    // One statement: the alarm must be there, and an acknowledgement already
    // stored (from the point or from another desk) is kept as it is.
    const char* params[] = {alarmKey.c_str(), by.c_str(), comment.c_str()};
    PgResult added(PQexecParams(conn_,
                            "INSERT INTO acknowledgement (alarm_key, by_name, comment, acked_at, source, at_point)"
                            " SELECT alarm_key, $2, $3, now(), 'office', false FROM alarm WHERE alarm_key = $1"
                            " ON CONFLICT (alarm_key) DO NOTHING RETURNING id",
                            3, nullptr, params, nullptr, nullptr, 0));
    if (!added.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return false;
    }
    if (PQntuples(added.r) == 1) return true;
    PgResult known(PQexecParams(conn_,
                            "SELECT k.by_name, to_char(k.acked_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'),"
                            " k.source FROM alarm a LEFT JOIN acknowledgement k ON k.alarm_key = a.alarm_key"
                            " WHERE a.alarm_key = $1",
                            1, nullptr, params, nullptr, nullptr, 0));
    if (!known.Ok()) {
        if (why) *why = PgErrorOf(conn_);
        return false;
    }
    if (!why) return false;
    if (PQntuples(known.r) == 0 || PQgetisnull(known.r, 0, 0)) {
        *why = PQntuples(known.r) == 0 ? "no such alarm" : "the alarm could not be acknowledged";
        return false;
    }
    *why = std::string("already acknowledged by ") + PQgetvalue(known.r, 0, 0) + " at " +
           PQgetvalue(known.r, 0, 1) + " UTC" +
           (std::string(PQgetvalue(known.r, 0, 2)) == "point" ? " at the point" : "") +
           "; that acknowledgement is kept";
    return false;
}

bool OfficeDatabase::SetOperator(const std::string& name, const std::string& role, const std::string& passwordHash,
                                 std::string* why) {
    if (!Usable(why)) return false;
    const char* params[] = {name.c_str(), passwordHash.c_str(), role.c_str()};
    PgResult r(PQexecParams(conn_,
                        "INSERT INTO operator (name, password_hash, role) VALUES ($1, $2, $3)"
                        " ON CONFLICT (name) DO UPDATE SET password_hash = EXCLUDED.password_hash,"
                        " role = EXCLUDED.role",
                        3, nullptr, params, nullptr, nullptr, 0));
    if (r.Ok()) return true;
    if (why) *why = PgErrorOf(conn_);
    return false;
}
