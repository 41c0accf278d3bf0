#include "records/EventJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <system_error>

#include "common/Bytes.h"
#include "common/CivilDate.h"
#include "common/LogLine.h"
#include "platform/AtomicFile.h"
#include "records/HistoryText.h"
#include "records/Journal.h"
#include "records/TrainHistory.h"

namespace fs = std::filesystem;

namespace {

constexpr char MAGIC[4] = {'K', 'S', 'T', 'E'};

void PutLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool ReadAll(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string Int(long long v) { return std::to_string(v); }

std::string AlarmPart(const AlarmFields& a, const TrainJournalPlace& train) {
    return "\"journal\":" + Int(train.date) + ",\"offset\":" + std::to_string(train.offset) +
           ",\"kind\":" + JsonString(a.kind) + ",\"axle\":" + Int(a.axle) + ",\"side\":" + JsonString(a.side) +
           ",\"code\":" + Int(a.code);
}

}  // namespace

std::string EventJournalHeader() {
    std::string header(MAGIC, sizeof MAGIC);
    PutLe32(header, EVENT_JOURNAL_VERSION);
    return header;
}

std::string EncodeEventRecord(std::int64_t time, const std::string& json) {
    std::string body;
    body.reserve(EVENT_JOURNAL_BODY_FIXED + json.size());
    const auto at = static_cast<std::uint64_t>(time);
    PutLe32(body, static_cast<std::uint32_t>(at & 0xFFFFFFFFu));
    PutLe32(body, static_cast<std::uint32_t>(at >> 32));
    body += json;
    std::string record;
    record.reserve(EVENT_JOURNAL_RECORD_HEAD + body.size());
    PutLe32(record, static_cast<std::uint32_t>(body.size()));
    PutLe32(record, Crc32c(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    return record + body;
}

std::size_t DecodeEventJournal(const std::string& bytes, std::vector<JournalEvent>* events, bool* isJournal) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const bool journal = bytes.size() >= EVENT_JOURNAL_HEADER_SIZE && std::memcmp(p, MAGIC, sizeof MAGIC) == 0 &&
                         ReadLe32(p + 4) == EVENT_JOURNAL_VERSION;
    if (isJournal) *isJournal = journal;
    if (!journal) return 0;
    std::size_t at = EVENT_JOURNAL_HEADER_SIZE;
    while (bytes.size() - at >= EVENT_JOURNAL_RECORD_HEAD) {
        const std::uint32_t length = ReadLe32(p + at);
        if (length < EVENT_JOURNAL_BODY_FIXED || length > EVENT_JOURNAL_MAX_BODY ||
            length > bytes.size() - at - EVENT_JOURNAL_RECORD_HEAD)
            break;
        const std::uint8_t* body = p + at + EVENT_JOURNAL_RECORD_HEAD;
        if (Crc32c(body, length) != ReadLe32(p + at + 4)) break;
        if (events) {
            JournalEvent e;
            e.offset = at;
            e.time = static_cast<std::int64_t>(static_cast<std::uint64_t>(ReadLe32(body)) |
                                               static_cast<std::uint64_t>(ReadLe32(body + 4)) << 32);
            e.json.assign(reinterpret_cast<const char*>(body) + EVENT_JOURNAL_BODY_FIXED,
                          length - EVENT_JOURNAL_BODY_FIXED);
            events->push_back(std::move(e));
        }
        at += EVENT_JOURNAL_RECORD_HEAD + length;
    }
    return at;
}

std::string EventJournalFileName(std::time_t now) {
    char name[32];
    std::snprintf(name, sizeof name, "Events-%08ld.kj", LocalYmd(now));
    return name;
}

long EventJournalDate(const std::string& name) { return YmdInFileName(name, "Events-", ".kj"); }

bool AppendEvent(const std::string& dataFolder, std::int64_t time, const std::string& json, std::string* why,
                 EventAppendCache* cache) {
    const auto fail = [&](const std::string& path, int error) {
        if (why) *why = "cannot write the event journal " + path + ": " + std::generic_category().message(error);
        return false;
    };
    const std::string folder = dataFolder + TRAIN_JOURNAL_FOLDER;
    // Today's file, whatever time the event names (an acknowledgement made
    // at the office may be older): files are only ever appended to while
    // they are new, and removed by their age.
    const std::string path = folder + "/" + EventJournalFileName(std::time(nullptr));
    if (json.size() + EVENT_JOURNAL_BODY_FIXED > EVENT_JOURNAL_MAX_BODY) return fail(path, EMSGSIZE);
    std::error_code ec;
    const bool madeFolder = fs::create_directories(folder, ec);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return fail(path, errno);
    // The lock is the file's own: every appender of every program takes it.
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int error = errno;
            ::close(fd);
            return fail(path, error);
        }
    }
    int error = 0;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && st.st_size < static_cast<off_t>(EVENT_JOURNAL_HEADER_SIZE)) {
        // A new file (or one cut while it was made): its header, its name made to last.
        // Made by root (kestova-trains --ack run as root), the file (and a
        // folder made for it) still belongs to whoever owns the data folder:
        // the collector appends to it too.
        struct stat owner {};
        if (::geteuid() == 0 && ::stat(dataFolder.c_str(), &owner) == 0 && (owner.st_uid != 0 || owner.st_gid != 0)) {
            (void)::fchown(fd, owner.st_uid, owner.st_gid);
            if (madeFolder) (void)::chown(folder.c_str(), owner.st_uid, owner.st_gid);
        }
        const std::string header = EventJournalHeader();
        ok = ::ftruncate(fd, 0) == 0 && WriteAllBytes(fd, header.data(), header.size()) && ::fdatasync(fd) == 0 &&
             (!madeFolder || SyncFolder(dataFolder)) && SyncFolder(folder) && ::fstat(fd, &st) == 0;
    } else if (ok) {
        if (cache == nullptr || !cache->Knows(path, st.st_size)) {
            // Another program wrote since, or this one never did: a torn end
            // (a crash inside another's write) is cut, so that this record
            // does not follow it unread.
            std::string bytes;
            bool isJournal = false;
            if (ReadAll(path, &bytes)) {
                const std::size_t sound = DecodeEventJournal(bytes, nullptr, &isJournal);
                if (!isJournal) {
                    ::close(fd);
                    return fail(path, EINVAL);  // not ours: left as it is
                }
                if (sound < bytes.size()) ok = ::ftruncate(fd, static_cast<off_t>(sound)) == 0 && ::fstat(fd, &st) == 0;
            }
        }
    }
    if (ok) {
        const std::string record = EncodeEventRecord(time, json);
        ok = WriteAllBytes(fd, record.data(), record.size()) && ::fdatasync(fd) == 0;
        if (!ok) {
            error = errno != 0 ? errno : EIO;
            (void)::ftruncate(fd, st.st_size);  // nothing of it stays
        } else if (cache != nullptr) {
            cache->Left(path, st.st_size + static_cast<std::int64_t>(record.size()));
        }
    } else {
        error = errno != 0 ? errno : EIO;
    }
    ::close(fd);  // and the lock with it
    return ok || fail(path, error);
}

void OpenEventJournalAtStart(const std::string& dataFolder, std::time_t now, IOutput& log) {
    const std::string folder = dataFolder + TRAIN_JOURNAL_FOLDER;
    std::error_code ec;
    const long today = YmdDayNumber(LocalYmd(now));
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string path = it->path().string();
        const long date = EventJournalDate(it->path().filename().string());
        if (date == 0) continue;
        if (today - YmdDayNumber(date) > TRAIN_JOURNAL_KEEP_DAYS) {
            std::error_code removeError;
            fs::remove(it->path(), removeError);
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {}
        std::string bytes;
        bool isJournal = false;
        if (ReadAll(path, &bytes)) {
            const std::size_t sound = DecodeEventJournal(bytes, nullptr, &isJournal);
            const bool partialHeader = bytes.size() < EVENT_JOURNAL_HEADER_SIZE &&
                                       std::memcmp(bytes.data(), MAGIC, bytes.size()) == 0;
            if ((isJournal || partialHeader) && sound < bytes.size()) {
                if (::ftruncate(fd, static_cast<off_t>(sound)) == 0)
                    LogLine(log, COLOUR_DARK_RED, "Event journal %s: torn end of %d bytes cut off\n", path.c_str(),
                            static_cast<int>(bytes.size() - sound));
                else
                    LogLine(log, COLOUR_DARK_RED, "ERROR: Event journal %s: torn end of %d bytes could not be cut off (%s)\n",
                            path.c_str(), static_cast<int>(bytes.size() - sound), std::strerror(errno));
            }
        }
        ::close(fd);
    }
}

TrainJournalPlace TrainJournalPlaceOf(const std::string& journalFile, std::uint64_t offset) {
    const std::size_t slash = journalFile.rfind('/');
    const long date = TrainJournalDate(slash == std::string::npos ? journalFile : journalFile.substr(slash + 1));
    if (date == 0 || offset < TRAIN_JOURNAL_HEADER_SIZE) return {};
    return {date, offset};
}

std::string AlarmEventJson(const AlarmFields& a, const TrainJournalPlace& train, int radioId, int siteNumber,
                           int trainNumber, const std::string& trendJson) {
    std::string j = "{\"type\":\"alarm\"," + AlarmPart(a, train) + ",\"car\":" + Int(a.car) +
                    ",\"axle_in_car\":" + Int(a.axleInCar) + ",\"reading\":" + Int(a.reading) +
                    ",\"reference\":" + Int(a.reference) + ",\"threshold\":" + Int(a.threshold) +
                    ",\"text\":" + JsonString(a.text) + ",\"radio\":" + Int(radioId) + ",\"site\":" + Int(siteNumber) +
                    ",\"train\":" + Int(trainNumber);
    if (!trendJson.empty()) j += ",\"trend\":" + trendJson;
    return j + "}";
}

std::string AckEventJson(const AlarmFields& a, const TrainJournalPlace& train, const std::string& by,
                         const std::string& comment, std::int64_t at, const char* source) {
    return "{\"type\":\"ack\"," + AlarmPart(a, train) + ",\"by\":" + JsonString(by) + ",\"comment\":" +
           JsonString(comment) + ",\"at\":" + Int(at) + ",\"source\":" + JsonString(source) + "}";
}

std::string PowerupEventJson(int radioId, int siteNumber, int track) {
    return "{\"type\":\"powerup\",\"radio\":" + Int(radioId) + ",\"site\":" + Int(siteNumber) +
           ",\"track\":" + Int(track) + "}";
}

std::string LinkEventJson(bool lost, const std::string& device) {
    return std::string("{\"type\":\"link\",\"state\":\"") + (lost ? "lost" : "back") +
           "\",\"device\":" + JsonString(device) + "}";
}

std::string TransferGivenUpEventJson(int radioId, int siteNumber) {
    return "{\"type\":\"transfer-given-up\",\"radio\":" + Int(radioId) + ",\"site\":" + Int(siteNumber) + "}";
}

std::string SiteEventJson(const SiteHealthEvent& s) {
    return "{\"type\":\"site\",\"site\":" + Int(s.siteNumber) + ",\"radio\":" + Int(s.radioId) +
           ",\"name\":" + JsonString(s.name) + ",\"milepost\":" + Int(s.milepost) + ",\"track\":" + Int(s.track) +
           ",\"silent\":" + (s.silent ? "true" : "false") + ",\"code\":" + Int(s.lastCode) +
           ",\"last_call\":" + Int(s.lastCall) + ",\"last_train\":" + Int(s.lastTrain) + "}";
}
