#include "office/UplinkQueue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "office/EventPayload.h"
#include "office/Payload.h"
#include "platform/AtomicFile.h"
#include "records/EventJournal.h"
#include "records/Journal.h"

namespace fs = std::filesystem;

namespace {

// The train (or event) journal files of the folder, by date.
std::map<long, std::string> JournalFiles(const std::string& folder, bool events) {
    std::map<long, std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long date = events ? EventJournalDate(name) : TrainJournalDate(name);
        if (date != 0) files[date] = it->path().string();
    }
    return files;
}

// A read takes at most this much of a file (more than a record can be).
constexpr std::size_t kReadChunk = 2u << 20;

// At most `limit` bytes of `path` from `from` on.
bool ReadFrom(const std::string& path, std::uint64_t from, std::size_t limit, std::string* bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes->clear();
    char buffer[65536];
    auto at = static_cast<off_t>(from);
    while (bytes->size() < limit) {
        const ssize_t n = ::pread(fd, buffer, std::min(sizeof buffer, limit - bytes->size()), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes->append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
    ::close(fd);
    return true;
}

}  // namespace

UplinkQueue::UplinkQueue(std::string dataFolder, std::string point, std::size_t window, std::size_t eventWindow)
    : dataFolder_(std::move(dataFolder)), point_(std::move(point)) {
    streams_[0].window = window ? window : 1;
    streams_[1].events = true;
    streams_[1].window = eventWindow ? eventWindow : std::max<std::size_t>(8, streams_[0].window / 4);
}

bool UplinkQueue::Load(std::string* why) {
    const std::string path = dataFolder_ + OFFICE_CURSOR_FILE;
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) return true;
        if (why) *why = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        // "<date> <offset>" of the train journal, "E<date> <offset>" of the event journal.
        const bool events = !line.empty() && line[0] == 'E';
        std::istringstream fields(events ? line.substr(1) : line);
        long date = 0;
        std::uint64_t offset = 0;
        if (!(fields >> date >> offset) || date < 19700101 || offset < TRAIN_JOURNAL_HEADER_SIZE) {
            if (why) *why = path + " line " + std::to_string(number) + " is not \"<date> <offset>\"";
            return false;
        }
        streams_[events ? 1 : 0].confirmed[date] = offset;
    }
    for (Stream& s : streams_)
        for (const auto& [date, offset] : s.confirmed) s.files[date].readTo = offset;
    return true;
}

bool UplinkQueue::Room() const {
    for (const Stream& s : streams_)
        if (s.inFlight.size() < s.window) return true;
    return false;
}

bool UplinkQueue::Idle() const {
    for (const Stream& s : streams_)
        if (!s.inFlight.empty() || s.more) return false;
    return true;
}

std::string UplinkQueue::KeyOf(const Stream& s, long date, std::uint64_t offset) const {
    return s.events ? EventKey(point_, date, offset) : TrainKey(point_, date, offset);
}

UplinkQueue::Stream* UplinkQueue::Find(const std::string& key, std::pair<long, std::uint64_t>* where) {
    if (ParseTrainKey(key, point_, &where->first, &where->second)) return &streams_[0];
    if (ParseEventKey(key, point_, &where->first, &where->second)) return &streams_[1];
    return nullptr;
}

std::vector<UplinkQueue::Outgoing> UplinkQueue::TakeNew() {
    std::vector<Outgoing> out;
    TakeNew(streams_[1], &out);  // the events first: an alarm waits for no train
    TakeNew(streams_[0], &out);
    return out;
}

void UplinkQueue::TakeNew(Stream& s, std::vector<Outgoing>* out) {
    const std::size_t headerSize = s.events ? EVENT_JOURNAL_HEADER_SIZE : TRAIN_JOURNAL_HEADER_SIZE;
    const auto files = JournalFiles(dataFolder_ + TRAIN_JOURNAL_FOLDER, s.events);
    // Files gone (removed after their days) leave the cursor.
    for (auto it = s.confirmed.begin(); it != s.confirmed.end();) {
        const auto flying = s.inFlight.lower_bound({it->first, 0});
        if (files.count(it->first) == 0 && (flying == s.inFlight.end() || flying->first.first != it->first)) {
            s.files.erase(it->first);
            it = s.confirmed.erase(it);
            dirty_ = true;
        } else {
            ++it;
        }
    }
    s.more = false;
    for (const auto& [date, path] : files) {
        if (s.inFlight.size() >= s.window) {
            s.more = true;
            break;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        FileState& file = s.files[date];
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (file.readTo == 0) file.readTo = headerSize;
        if (size <= file.readTo || size == file.sizeSeen) continue;
        // The header, then the records from where this file was left.
        std::string part, tail;
        if (!ReadFrom(path, 0, headerSize, &part) || part.size() < headerSize ||
            !ReadFrom(path, file.readTo, kReadChunk, &tail))
            continue;
        const bool chunkFull = tail.size() == kReadChunk;
        part += tail;
        const std::uint64_t base = file.readTo - headerSize;
        bool isJournal = false;
        std::size_t taken = 0, found = 0;
        if (s.events) {
            std::vector<JournalEvent> events;
            DecodeEventJournal(part, &events, &isJournal);
            found = events.size();
            for (JournalEvent& e : events) {
                if (s.inFlight.size() >= s.window) break;
                e.offset += base;
                Flight& f = s.inFlight[{date, e.offset}];
                f.payload = EventPayloadOfJournal(point_, date, e, &f.leaf);
                out->push_back({EventKey(point_, date, e.offset), f.payload, f.leaf});
                file.readTo = e.offset + EVENT_JOURNAL_RECORD_HEAD + EVENT_JOURNAL_BODY_FIXED + e.json.size();
                ++taken;
            }
        } else {
            std::vector<JournalTrain> trains;
            DecodeJournal(part, &trains, &isJournal);
            found = trains.size();
            for (JournalTrain& t : trains) {
                if (s.inFlight.size() >= s.window) break;
                t.offset += base;
                const TrainMessage m = MessageOfJournalTrain(point_, date, t);
                Flight& f = s.inFlight[{date, t.offset}];
                f.payload = EncodeTrainMessage(m);
                f.leaf = "train";
                out->push_back({m.Key(), f.payload, f.leaf});
                file.readTo = t.offset + TRAIN_JOURNAL_RECORD_HEAD + TRAIN_JOURNAL_BODY_FIXED + t.stream.size();
                ++taken;
            }
        }
        if (!isJournal) {
            file.sizeSeen = size;
            continue;
        }
        if (!s.confirmed.count(date)) s.confirmed[date] = headerSize;
        if (taken < found || chunkFull) {
            s.more = true;  // the window is full; read the rest later
        } else {
            file.sizeSeen = size;  // what is left is a record being written (or torn)
        }
    }
}

std::vector<UplinkQueue::Outgoing> UplinkQueue::TakeResends(double olderThan, double now) {
    std::vector<Outgoing> out;
    for (int i : {1, 0})
        for (auto& [where, f] : streams_[i].inFlight) {
            if (f.confirmed || f.sentAt >= olderThan) continue;
            f.sentAt = now;
            out.push_back({KeyOf(streams_[i], where.first, where.second), f.payload, f.leaf});
        }
    return out;
}

void UplinkQueue::MarkSent(const std::string& key, double now) {
    std::pair<long, std::uint64_t> where;
    Stream* s = Find(key, &where);
    if (!s) return;
    auto it = s->inFlight.find(where);
    if (it != s->inFlight.end()) it->second.sentAt = now;
}

bool UplinkQueue::Confirm(const std::vector<std::string>& keys, std::string* why) {
    for (const std::string& key : keys) {
        std::pair<long, std::uint64_t> where;
        Stream* s = Find(key, &where);
        if (!s) continue;
        auto it = s->inFlight.find(where);
        if (it == s->inFlight.end() || it->second.confirmed) continue;
        it->second.confirmed = true;
        ++confirmedTotal_;
    }
    // Each file's cursor moves to its first record still unconfirmed, or to
    // where reading stopped when none is.
    for (Stream& s : streams_)
        for (auto& [date, offset] : s.confirmed) {
            auto it = s.inFlight.lower_bound({date, 0});
            while (it != s.inFlight.end() && it->first.first == date && it->second.confirmed) it = s.inFlight.erase(it);
            const std::uint64_t to =
                (it != s.inFlight.end() && it->first.first == date) ? it->first.second : s.files[date].readTo;
            if (to > offset) {
                offset = to;
                dirty_ = true;
            }
        }
    return !dirty_ || SaveCursor(why);
}

std::pair<std::size_t, std::size_t> UplinkQueue::Backlog() const {
    std::size_t counts[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const Stream& s = streams_[i];
        counts[i] = s.inFlight.size();
        const auto files = JournalFiles(dataFolder_ + TRAIN_JOURNAL_FOLDER, s.events);
        for (const auto& [date, path] : files) {
            const auto known = s.files.find(date);
            std::uint64_t at = known != s.files.end() && known->second.readTo > 0 ? known->second.readTo
                                                                                   : TRAIN_JOURNAL_HEADER_SIZE;
            // Walks the record heads past what was read (whole records only).
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            struct stat st {};
            const std::uint64_t size = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
            std::uint8_t head[4];
            while (at + 8 <= size && ::pread(fd, head, 4, static_cast<off_t>(at)) == 4) {
                const std::uint64_t length = head[0] | head[1] << 8 | head[2] << 16 | static_cast<std::uint64_t>(head[3]) << 24;
                if (at + 8 + length > size) break;
                at += 8 + length;
                ++counts[i];
            }
            ::close(fd);
        }
    }
    return {counts[0], counts[1]};
}

bool UplinkQueue::SaveCursor(std::string* why) {
    std::string text;
    for (const auto& [date, offset] : streams_[0].confirmed)
        text += std::to_string(date) + " " + std::to_string(offset) + "\n";
    for (const auto& [date, offset] : streams_[1].confirmed)
        text += "E" + std::to_string(date) + " " + std::to_string(offset) + "\n";
    const std::string path = dataFolder_ + OFFICE_CURSOR_FILE;
    if (WriteFileAtomically(path, text.data(), text.size()) != AtomicWriteResult::Ok) {
        if (why) *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    dirty_ = false;
    return true;
}
