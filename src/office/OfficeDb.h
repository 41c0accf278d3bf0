#pragma once
// The office's PostgreSQL database: the schema (versioned migrations, applied
// at start under an advisory lock so that two offices never race) and the
// store of a batch of trains in one transaction. Every value goes as a
// parameter; a train whose key is there already is left as it is.
#include <cstddef>
#include <string>
#include <vector>

#include "office/EventPayload.h"
#include "office/Payload.h"

struct pg_conn;

// A message the office refused, kept for whoever looks into it: the raw
// bytes (at most OFFICE_MAX_PAYLOAD of them) and why. `key` is its readable
// key ("" when none); a keyed one is confirmed once stored.
struct RejectedMessage {
    std::string topic, point, reason, key;
    std::string bytes;
    std::size_t size = 0;  // of the whole message
};

// What the broker tells of a point: its retained status ("online" or the
// will "offline") and its uplink's backlog.
struct PointStatus {
    std::string point;
    bool hasOnline = false, online = false;
    bool hasBacklog = false;
    long long backlog = 0;
};

// An acknowledgement made at the office that the point's history does not
// hold yet, for the point of its alarm.
struct PendingAck {
    std::string point;
    OfficeAck ack;
};

// An alarm the office raised that its point's history does not hold yet.
struct PendingAlarm {
    std::string point;
    EventMessage alarm;
};

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

    // With trend alarms on, each new train with a summary is also written
    // to trend_due, for the trend look (OfficeTrends::RaiseDue).
    void SetTrendsDue(bool on) { trendsDue_ = on; }
    // Stores the trains and the refused messages in one transaction;
    // `inserted` counts the new trains (the rest were there). A refused
    // message sent again as it was is kept once. False (nothing stored) on
    // any failure; the connection is reset before the next try.
    bool Store(const std::vector<TrainMessage>& trains, const std::vector<RejectedMessage>& rejected,
               std::size_t* inserted, std::string* why);
    // The same with the points' events (alarms, acknowledgements, sites,
    // Powerups, link, transfers given up; each key stored once) and their
    // status, in the same transaction.
    bool Store(const std::vector<TrainMessage>& trains, const std::vector<RejectedMessage>& rejected,
               const std::vector<EventMessage>& events, const std::vector<PointStatus>& statuses,
               std::size_t* inserted, std::string* why);
    // The office's acknowledgements not yet at their point (at most 1000, oldest first).
    bool PendingAcks(std::vector<PendingAck>* acks, std::string* why);
    // The office's alarms not yet at their point (at most 1000, oldest first).
    bool PendingAlarms(std::vector<PendingAlarm>* alarms, std::string* why);

    // The office's own acknowledgement of an alarm (OfficeAck.cpp): stored
    // with source 'office' for the events path to hand to the point. False
    // with the reason for an unknown alarm key, and for an alarm already
    // acknowledged (its first acknowledgement stays; *why names it).
    bool Acknowledge(const std::string& alarmKey, const std::string& by, const std::string& comment,
                     std::string* why);
    // Adds an operator or replaces one's password hash and role
    // ("viewer" or "acknowledger").
    bool SetOperator(const std::string& name, const std::string& role, const std::string& passwordHash,
                     std::string* why);

private:
    bool Exec(const char* sql, std::string* why);
    bool Usable(std::string* why);

    pg_conn* conn_ = nullptr;
    bool trendsDue_ = false;
    std::string conninfo_;
};
