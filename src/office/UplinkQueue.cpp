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

#include "office/Payload.h"
#include "platform/AtomicFile.h"
#include "records/Journal.h"

namespace fs = std::filesystem;

namespace {

// The journal files of the folder, by date.
std::map<long, std::string> JournalFiles(const std::string& folder) {
    std::map<long, std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const long date = TrainJournalDate(name);
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

UplinkQueue::UplinkQueue(std::string dataFolder, std::string point, std::size_t window)
    : dataFolder_(std::move(dataFolder)), point_(std::move(point)), window_(window ? window : 1) {}

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
        std::istringstream fields(line);
        long date = 0;
        std::uint64_t offset = 0;
        if (!(fields >> date >> offset) || date < 19700101 || offset < TRAIN_JOURNAL_HEADER_SIZE) {
            if (why) *why = path + " line " + std::to_string(number) + " is not \"<date> <offset>\"";
            return false;
        }
        confirmed_[date] = offset;
    }
    for (const auto& [date, offset] : confirmed_) files_[date].readTo = offset;
    return true;
}

std::vector<UplinkQueue::Outgoing> UplinkQueue::TakeNew() {
    std::vector<Outgoing> out;
    const auto files = JournalFiles(dataFolder_ + TRAIN_JOURNAL_FOLDER);
    // Files gone (removed after their days) leave the cursor.
    for (auto it = confirmed_.begin(); it != confirmed_.end();) {
        const auto flying = inFlight_.lower_bound({it->first, 0});
        if (files.count(it->first) == 0 &&
            (flying == inFlight_.end() || flying->first.first != it->first)) {
            files_.erase(it->first);
            it = confirmed_.erase(it);
            dirty_ = true;
        } else {
            ++it;
        }
    }
    more_ = false;
    for (const auto& [date, path] : files) {
        if (inFlight_.size() >= window_) {
            more_ = true;
            break;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        FileState& file = files_[date];
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (file.readTo == 0) file.readTo = TRAIN_JOURNAL_HEADER_SIZE;
        if (size <= file.readTo || size == file.sizeSeen) continue;
        // The header, then the records from where this file was left.
        std::string part, tail;
        if (!ReadFrom(path, 0, TRAIN_JOURNAL_HEADER_SIZE, &part) ||
            part.size() < TRAIN_JOURNAL_HEADER_SIZE || !ReadFrom(path, file.readTo, kReadChunk, &tail))
            continue;
        const bool chunkFull = tail.size() == kReadChunk;
        part += tail;
        std::vector<JournalTrain> trains;
        bool isJournal = false;
        DecodeJournal(part, &trains, &isJournal);
        if (!isJournal) {
            file.sizeSeen = size;
            continue;
        }
        std::size_t taken = 0;
        const std::uint64_t base = file.readTo - TRAIN_JOURNAL_HEADER_SIZE;
        for (JournalTrain& t : trains) {
            if (inFlight_.size() >= window_) break;
            t.offset += base;
            const TrainMessage m = MessageOfJournalTrain(point_, date, t);
            Flight& f = inFlight_[{date, t.offset}];
            f.payload = EncodeTrainMessage(m);
            out.push_back({m.Key(), f.payload});
            file.readTo = t.offset + TRAIN_JOURNAL_RECORD_HEAD + TRAIN_JOURNAL_BODY_FIXED + t.stream.size();
            ++taken;
        }
        if (!confirmed_.count(date)) confirmed_[date] = TRAIN_JOURNAL_HEADER_SIZE;
        if (taken < trains.size() || chunkFull) {
            more_ = true;  // the window is full; read the rest later
        } else {
            file.sizeSeen = size;  // what is left is a record being written (or torn)
        }
    }
    return out;
}

std::vector<UplinkQueue::Outgoing> UplinkQueue::TakeResends(double olderThan, double now) {
    std::vector<Outgoing> out;
    for (auto& [where, f] : inFlight_) {
        if (f.confirmed || f.sentAt >= olderThan) continue;
        f.sentAt = now;
        out.push_back({TrainKey(point_, where.first, where.second), f.payload});
    }
    return out;
}

void UplinkQueue::MarkSent(const std::string& key, double now) {
    long date = 0;
    std::uint64_t offset = 0;
    if (!ParseTrainKey(key, point_, &date, &offset)) return;
    auto it = inFlight_.find({date, offset});
    if (it != inFlight_.end()) it->second.sentAt = now;
}

bool UplinkQueue::Confirm(const std::vector<std::string>& keys, std::string* why) {
    for (const std::string& key : keys) {
        long date = 0;
        std::uint64_t offset = 0;
        if (!ParseTrainKey(key, point_, &date, &offset)) continue;
        auto it = inFlight_.find({date, offset});
        if (it == inFlight_.end() || it->second.confirmed) continue;
        it->second.confirmed = true;
        ++confirmedTotal_;
    }
    // Each file's cursor moves to its first record still unconfirmed, or to
    // where reading stopped when none is.
    for (auto& [date, offset] : confirmed_) {
        auto it = inFlight_.lower_bound({date, 0});
        while (it != inFlight_.end() && it->first.first == date && it->second.confirmed)
            it = inFlight_.erase(it);
        const std::uint64_t to = (it != inFlight_.end() && it->first.first == date)
                                     ? it->first.second
                                     : files_[date].readTo;
        if (to > offset) {
            offset = to;
            dirty_ = true;
        }
    }
    return !dirty_ || SaveCursor(why);
}

bool UplinkQueue::SaveCursor(std::string* why) {
    std::string text;
    for (const auto& [date, offset] : confirmed_)
        text += std::to_string(date) + " " + std::to_string(offset) + "\n";
    const std::string path = dataFolder_ + OFFICE_CURSOR_FILE;
    if (WriteFileAtomically(path, text.data(), text.size()) != AtomicWriteResult::Ok) {
        if (why) *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    dirty_ = false;
    return true;
}
