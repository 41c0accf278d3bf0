#pragma once
// The messages between a collection point's uplink and the control office,
// version 1 (docs/office.md):
//
//   kestova/v1/<point>/train    uplink -> office, QoS 1: one journaled train
//   kestova/v1/<point>/confirm  office -> uplink, QoS 1: keys committed
//   kestova/v1/<point>/status   uplink, retained: "online" / "offline" (will)
//
// A train's key is "<point>/<journal date>/<record offset>": the record's
// place in the point's train journal, which is only ever appended to, so the
// same train sent again carries the same key and the office stores it once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "records/Journal.h"

constexpr int OFFICE_PAYLOAD_VERSION = 1;
// Larger train messages are refused unread (a train stream is at most a
// block buffer of 9216 bytes, 12288 in base64).
constexpr std::size_t OFFICE_MAX_PAYLOAD = 64 * 1024;
constexpr std::size_t OFFICE_MAX_STREAM = 16 * 1024;

// What the office keeps of a train besides its stream (read from its
// assembled header; absent when the stream is too short for one).
struct TrainSummary {
    bool present = false;
    int site = 0, train = 0, axles = 0, cars = 0, speed = 0, track = 0;
    std::string direction;   // one character, "" when the site sent 0
    std::string firstStamp;  // "2024-05-06T07:08:09" (the site's local time), "" when not a date
};

struct TrainMessage {
    std::string point;
    long journalDate = 0;          // YYYYMMDD of the journal file
    std::uint64_t offset = 0;      // of the record in that file
    std::int64_t receivedAt = 0;   // s since 1970
    int radioId = 0;
    int ackByte = 0;               // track/sequence byte of the ACK
    int delivery = 1;              // 1 All-in-One, 2 blocks
    int blockCount = 0;
    std::vector<std::uint8_t> stream;
    TrainSummary summary;

    std::string Key() const;
};

// A point name: 1 to 32 of A-Z a-z 0-9 . _ - (it is a topic level).
bool ValidPointName(const std::string& name);
std::string OfficeTopic(const std::string& point, const char* leaf);  // "train", "confirm", "status"
// The point of a "kestova/v1/<point>/<leaf>" topic; "" when it is not one.
std::string PointOfTopic(const std::string& topic, const char* leaf);

std::string TrainKey(const std::string& point, long journalDate, std::uint64_t offset);
// Splits a key of `point` back into date and offset; false for any other text.
bool ParseTrainKey(const std::string& key, const std::string& point, long* journalDate,
                   std::uint64_t* offset);

TrainSummary SummarizeTrain(const JournalTrain& train);
TrainMessage MessageOfJournalTrain(const std::string& point, long journalDate,
                                   const JournalTrain& train);

std::string EncodeTrainMessage(const TrainMessage& message);
// Checks everything a stored train depends on; false with one line of
// reason otherwise. `topicPoint` is the point the topic names.
bool ParseTrainMessage(const std::string& topicPoint, const std::string& payload,
                       TrainMessage* out, std::string* why);
// The key of a message the office refused, when one can be read from it: a
// JSON object of at most OFFICE_MAX_PAYLOAD bytes whose "key" is a well-formed
// key of `topicPoint`. "" otherwise. Such a message is kept and confirmed,
// so that the point does not send it again for ever.
std::string ReadableTrainKey(const std::string& topicPoint, const std::string& payload);

std::string EncodeConfirm(const std::vector<std::string>& keys);
bool ParseConfirm(const std::string& payload, std::vector<std::string>* keys, std::string* why);

std::string Base64Encode(const std::vector<std::uint8_t>& bytes);
bool Base64Decode(const std::string& text, std::vector<std::uint8_t>* bytes);
