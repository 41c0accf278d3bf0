#pragma once
// The office's PostgreSQL database: the schema (versioned migrations, applied
// at start under an advisory lock so that two offices never race) and the
// store of a batch of trains in one transaction. Every value goes as a
// parameter; a train whose key is there already is left as it is.
#include <cstddef>
#include <string>
#include <vector>

#include "office/Payload.h"

struct pg_conn;

// The newest schema version this program knows.
int OfficeSchemaVersion();

class OfficeDatabase {
public:
    OfficeDatabase() = default;
    ~OfficeDatabase();
    OfficeDatabase(const OfficeDatabase&) = delete;
    OfficeDatabase& operator=(const OfficeDatabase&) = delete;

    // `conninfo` as libpq takes it ("host=... port=... dbname=... user=...").
    bool Open(const std::string& conninfo, std::string* why);
    // Brings the schema to OfficeSchemaVersion(); a database newer than this
    // program is refused.
    bool Migrate(std::string* why);
    // The version in schema_version (0 for an empty database, -1 on error).
    int Version(std::string* why);

    // Stores the trains in one transaction; `inserted` counts the new ones
    // (the rest were there). False (nothing stored) on any failure; the
    // connection is reset before the next try.
    bool Store(const std::vector<TrainMessage>& trains, std::size_t* inserted, std::string* why);

private:
    bool Exec(const char* sql, std::string* why);
    bool Usable(std::string* why);

    pg_conn* conn_ = nullptr;
    std::string conninfo_;
};
