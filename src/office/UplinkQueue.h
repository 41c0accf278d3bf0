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
    };

    // `dataFolder` with a trailing "/".
    UplinkQueue(std::string dataFolder, std::string point, std::size_t window);

    // Reads the cursor file; false (with why) when it is there but unreadable.
    bool Load(std::string* why);

    // Reads what the journal files gained and takes new records in flight
    // while the window has room; returns them to send.
    std::vector<Outgoing> TakeNew();
    // The records in flight that were last sent before `olderThan` (every one
    // for a reconnect: pass a time in the future), stamped as sent at `now`.
    std::vector<Outgoing> TakeResends(double olderThan, double now);
    void MarkSent(const std::string& key, double now);

    // Confirmed keys of this point: moves the cursor and writes it (false
    // when the write failed; it is tried again at the next confirmation).
    // Unknown keys (an earlier run's, another point's) are ignored.
    bool Confirm(const std::vector<std::string>& keys, std::string* why);

    std::size_t InFlight() const { return inFlight_.size(); }
    // Every record read so far is confirmed and the files have nothing new.
    bool Idle() const { return inFlight_.empty() && !more_; }
    std::size_t ConfirmedTotal() const { return confirmedTotal_; }
    // Per journal date, the confirmed offset (as in the cursor file).
    std::map<long, std::uint64_t> Cursor() const { return confirmed_; }

private:
    struct Flight {
        std::string payload;
        double sentAt = 0;
        bool confirmed = false;
    };
    struct FileState {
        std::uint64_t readTo = 0;     // the next record not yet taken
        std::uint64_t sizeSeen = 0;   // the file size of the last read
    };
    bool SaveCursor(std::string* why);

    const std::string dataFolder_;
    const std::string point_;
    const std::size_t window_;
    std::map<long, std::uint64_t> confirmed_;   // journal date -> offset
    std::map<long, FileState> files_;
    std::map<std::pair<long, std::uint64_t>, Flight> inFlight_;
    bool more_ = true;
    bool dirty_ = false;
    std::size_t confirmedTotal_ = 0;
};
