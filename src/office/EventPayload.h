#pragma once
// The messages of a collection point's events (its event journal,
// records/EventJournal.h) and of acknowledgements and backlog, version 1
// (docs/office.md):
//
//   kestova/v1/<point>/event          uplink -> office, QoS 1: one journaled event
//   kestova/v1/<point>/site/<number>  uplink -> office, QoS 1, retained: a site's health
//   kestova/v1/<point>/ack            office -> uplink, QoS 1: acknowledgements made at the office
//   kestova/v1/<point>/alarm          office -> uplink, QoS 1: an alarm the office raised
//   kestova/v1/<point>/backlog        uplink, retained: journal records not yet confirmed
//
// An event's key is "<point>/E<journal date>/<record offset>" (its place in
// the point's event journal; no train key reads so). An alarm's key is
// "<train key>/<kind>/<axle>/<side>/<code>", the same for the point and the
// office.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records/EventJournal.h"

struct EventMessage {
    std::string point;
    long journalDate = 0;       // of the event journal file
    std::uint64_t offset = 0;   // of the record in it
    std::int64_t time = 0;      // s since 1970
    std::string type;           // alarm, ack, powerup, link, transfer-given-up, site

    // alarm, ack
    std::string trainKey, alarmKey, kind, side;
    int axle = 0, code = 0;
    // alarm
    int car = 0, axleInCar = 0, reading = -1, reference = -1, threshold = -1;
    std::string text, trendJson;  // trend: "" when none
    // alarm, powerup, transfer-given-up, site
    int radio = 0, site = 0;
    int train = 0;              // alarm: the train's number
    int track = 0;              // powerup, site
    // ack
    std::string by, comment, source;
    std::int64_t ackAt = 0;
    // link
    std::string state, device;
    // site
    std::string name;
    int milepost = -1, lastCode = 0;
    bool silent = false;
    std::int64_t lastCall = 0, lastTrain = 0;

    std::string Key() const;
    // The JSON object of what point_event keeps of a Powerup, link or transfer.
    std::string Detail() const;
};

std::string EventKey(const std::string& point, long journalDate, std::uint64_t offset);
bool ParseEventKey(const std::string& key, const std::string& point, long* journalDate, std::uint64_t* offset);
std::string AlarmKey(const std::string& trainKey, const std::string& kind, int axle, const std::string& side,
                     int code);
// Splits an alarm key of `point`; false for any other text.
bool ParseAlarmKey(const std::string& key, const std::string& point, long* journalDate, std::uint64_t* offset,
                   std::string* kind, int* axle, std::string* side, int* code);

// The uplink: an event journal record as its message (the train's place
// made a train key and an alarm key), and the leaf of its topic: "event",
// or "site/<number>" for a site's health. A record that is no JSON object
// goes as type "unreadable" with its text: the office refuses and keeps it.
std::string EventPayloadOfJournal(const std::string& point, long journalDate, const JournalEvent& event,
                                  std::string* siteTopicLeaf);
// The office: checks everything a stored event depends on.
bool ParseEventMessage(const std::string& topicPoint, const std::string& payload, EventMessage* out,
                       std::string* why);
// The event key of a refused message when one can be read ("" otherwise).
std::string ReadableEventKey(const std::string& topicPoint, const std::string& payload);

// "kestova/v1/<point>/<leaf>": the point and the leaf ("train", "site/12");
// false for another topic.
bool SplitOfficeTopic(const std::string& topic, std::string* point, std::string* leaf);

struct OfficeAck {
    std::string alarmKey, by, comment;
    std::int64_t at = 0;
};
std::string EncodeOfficeAcks(const std::vector<OfficeAck>& acks);
bool ParseOfficeAcks(const std::string& payload, std::vector<OfficeAck>* acks, std::string* why);

// An alarm the office raised, to the point whose train it names
// (kestova/v1/<point>/alarm): the fields of the point's own alarm event.
std::string EncodeOfficeAlarm(const EventMessage& alarm);
bool ParseOfficeAlarm(const std::string& topicPoint, const std::string& payload, EventMessage* out, std::string* why);

std::string EncodeBacklog(std::size_t trains, std::size_t events);
bool ParseBacklog(const std::string& payload, long long* total, std::string* why);
