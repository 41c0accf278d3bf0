#pragma once
// What a collection point's uplink has to send, and what the office has
// confirmed. The train journal's files (Journal/Trains-YYYYMMDD.kj) are read
// as they grow; every whole record becomes a train message. A record is
// "in flight" from its first send until the office confirms it committed;
// at most `window` are in flight at once. The cursor file
// (OFFICE_CURSOR_FILE in the data folder) holds, per journal file, the
// offset up to which every record is confirmed: it moves only on the
// office's confirmation, so a stop or kill -9 at any point sends again, at
// the next start, what was not confirmed (the office keeps one of each key),
// and nothing is skipped.
//
// The event journal's files (Journal/Events-YYYYMMDD.kj) are a second
// stream with a window of its own, read first: an alarm goes out at once
// however many trains wait. The cursor file's lines "E<date> <offset>" are
// theirs.
//
// One thread uses it (the uplink's loop).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

constexpr char OFFICE_CURSOR_FILE[] = "OfficeUplink.cursor";

class UplinkQueue {
public:
    struct Outgoing {
        std::string key;
        std::string payload;
        std::string leaf;  // of the topic: "train", "event", "site/<number>"
    };

    // `dataFolder` with a trailing "/"; `eventWindow` 0: a quarter of
    // `window`, at least 8.
    UplinkQueue(std::string dataFolder, std::string point, std::size_t window, std::size_t eventWindow = 0);

    // Reads the cursor file; false (with why) when it is there but unreadable.
    bool Load(std::string* why);

    // Reads what the journal files gained (the event files first) and takes
    // new records in flight while each stream's window has room; returns
    // them to send.
    std::vector<Outgoing> TakeNew();
    // The records in flight that were last sent before `olderThan` (every one
    // for a reconnect: pass a time in the future), stamped as sent at `now`.
    std::vector<Outgoing> TakeResends(double olderThan, double now);
    void MarkSent(const std::string& key, double now);

    // Confirmed keys of this point: moves the cursor and writes it (false
    // when the write failed; it is tried again at the next confirmation).
    // Unknown keys (an earlier run's, another point's) are ignored.
    bool Confirm(const std::vector<std::string>& keys, std::string* why);

    std::size_t InFlight() const { return streams_[0].inFlight.size() + streams_[1].inFlight.size(); }
    // Both windows: at most this many records in flight.
    std::size_t Windows() const { return streams_[0].window + streams_[1].window; }
    // Whether TakeNew may take more (a window has room).
    bool Room() const;
    // Every record read so far is confirmed and the files have nothing new.
    bool Idle() const;
    std::size_t ConfirmedTotal() const { return confirmedTotal_; }
    // Per journal date, the confirmed offset of the train journal (as in
    // the cursor file), and of the event journal.
    std::map<long, std::uint64_t> Cursor() const { return streams_[0].confirmed; }
    std::map<long, std::uint64_t> EventCursor() const { return streams_[1].confirmed; }
    // Records journaled and not yet confirmed: trains, events.
    std::pair<std::size_t, std::size_t> Backlog() const;

private:
    struct Flight {
        std::string payload;
        std::string leaf;
        double sentAt = 0;
        bool confirmed = false;
    };
    struct FileState {
        std::uint64_t readTo = 0;     // the next record not yet taken
        std::uint64_t sizeSeen = 0;   // the file size of the last read
    };
    struct Stream {
        bool events = false;
        std::size_t window = 0;
        std::map<long, std::uint64_t> confirmed;   // journal date -> offset
        std::map<long, FileState> files;
        std::map<std::pair<long, std::uint64_t>, Flight> inFlight;
        bool more = true;
    };
    void TakeNew(Stream& s, std::vector<Outgoing>* out);
    std::string KeyOf(const Stream& s, long date, std::uint64_t offset) const;
    // The stream and place of a key of this point.
    Stream* Find(const std::string& key, std::pair<long, std::uint64_t>* where);
    bool SaveCursor(std::string* why);

    const std::string dataFolder_;
    const std::string point_;
    Stream streams_[2];  // trains, events
    bool dirty_ = false;
    std::size_t confirmedTotal_ = 0;
};
