#include "records/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

#include "common/Bytes.h"
#include "common/CivilDate.h"
#include "common/LogLine.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"

namespace fs = std::filesystem;

namespace {

constexpr char MAGIC[4] = {'K', 'S', 'T', 'J'};

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
        table[i] = crc;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> CRC_TABLE = MakeCrcTable();

void PutLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool WriteHeader(int fd) {
    const std::string header = TrainJournalHeader();
    return WriteAllBytes(fd, header.data(), header.size());
}

}  // namespace

std::uint32_t Crc32c(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = CRC_TABLE[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string TrainJournalHeader() {
    std::string header(MAGIC, sizeof MAGIC);
    PutLe32(header, TRAIN_JOURNAL_VERSION);
    return header;
}

std::string EncodeJournalRecord(const JournalTrain& train) {
    std::string body;
    body.reserve(TRAIN_JOURNAL_BODY_FIXED + train.stream.size());
    const auto at = static_cast<std::uint64_t>(train.receivedAt);
    PutLe32(body, static_cast<std::uint32_t>(at & 0xFFFFFFFFu));
    PutLe32(body, static_cast<std::uint32_t>(at >> 32));
    body.push_back(static_cast<char>(train.radioId));
    body.push_back(static_cast<char>(train.trackOrSequence));
    body.push_back(static_cast<char>(train.delivery));
    body.push_back(static_cast<char>(train.blockCount));
    body.append(reinterpret_cast<const char*>(train.stream.data()), train.stream.size());
    std::string record;
    record.reserve(TRAIN_JOURNAL_RECORD_HEAD + body.size());
    PutLe32(record, static_cast<std::uint32_t>(body.size()));
    PutLe32(record, Crc32c(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    return record + body;
}

std::size_t DecodeJournal(const std::string& bytes, std::vector<JournalTrain>* trains, bool* isJournal) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const bool journal = bytes.size() >= TRAIN_JOURNAL_HEADER_SIZE &&
                         std::memcmp(p, MAGIC, sizeof MAGIC) == 0 &&
                         ReadLe32(p + 4) == TRAIN_JOURNAL_VERSION;
    if (isJournal) *isJournal = journal;
    if (!journal) return 0;
    std::size_t at = TRAIN_JOURNAL_HEADER_SIZE;
    while (bytes.size() - at >= TRAIN_JOURNAL_RECORD_HEAD) {
        const std::uint32_t length = ReadLe32(p + at);
        if (length < TRAIN_JOURNAL_BODY_FIXED || length > TRAIN_JOURNAL_MAX_BODY ||
            length > bytes.size() - at - TRAIN_JOURNAL_RECORD_HEAD) {
            break;
        }
        const std::uint8_t* body = p + at + TRAIN_JOURNAL_RECORD_HEAD;
        if (Crc32c(body, length) != ReadLe32(p + at + 4)) break;
        if (trains) {
            JournalTrain t;
            t.offset = at;
            t.receivedAt = static_cast<std::int64_t>(static_cast<std::uint64_t>(ReadLe32(body)) |
                                                     static_cast<std::uint64_t>(ReadLe32(body + 4)) << 32);
            t.radioId = body[8];
            t.trackOrSequence = body[9];
            t.delivery = static_cast<TrainDelivery>(body[10]);
            t.blockCount = body[11];
            t.stream.assign(body + TRAIN_JOURNAL_BODY_FIXED, body + length);
            trains->push_back(std::move(t));
        }
        at += TRAIN_JOURNAL_RECORD_HEAD + length;
    }
    return at;
}

std::string TrainJournalFileName(std::time_t now) {
    char name[32];
    std::snprintf(name, sizeof name, "Trains-%08ld.kj", LocalYmd(now));
    return name;
}

long TrainJournalDate(const std::string& name) { return YmdInFileName(name, "Trains-", ".kj"); }

TrainJournal::TrainJournal(std::string dataFolder, IClock& clock)
    : dataFolder_(std::move(dataFolder)), clock_(clock) {}

TrainJournal::~TrainJournal() { Close(); }

std::string TrainJournal::FolderPath() const { return dataFolder_ + TRAIN_JOURNAL_FOLDER; }

void TrainJournal::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openDate_ = 0;
}

bool TrainJournal::OpenFor(long date, std::time_t now, int* error) {
    const std::string folder = FolderPath();
    std::error_code ec;
    const bool madeFolder = fs::create_directories(folder, ec);
    path_ = folder + "/" + TrainJournalFileName(now);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *error = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        *error = errno;
        Close();
        return false;
    }
    if (st.st_size == 0) {
        // A new file: its header, and its name made to last.
        if (!WriteHeader(fd_) || ::fdatasync(fd_) != 0 ||
            (madeFolder && !SyncFolder(dataFolder_)) || !SyncFolder(folder)) {
            *error = errno != 0 ? errno : EIO;
            (void)::ftruncate(fd_, 0);
            Close();
            return false;
        }
    }
    openDate_ = date;
    return true;
}

bool TrainJournal::Append(const JournalTrain& train, IOutput& log) {
    const std::time_t now = clock_.Now();
    const long date = LocalYmd(now);
    int error = 0;
    bool ok = true;
    if (fd_ < 0 || date != openDate_) {
        Close();
        ok = OpenFor(date, now, &error);
    }
    lastAppended_ = false;
    if (ok) {
        struct stat st {};
        const std::string record = EncodeJournalRecord(train);
        ok = ::fstat(fd_, &st) == 0 && WriteAllBytes(fd_, record.data(), record.size()) && ::fdatasync(fd_) == 0;
        if (ok) {
            lastAppended_ = true;
            lastFile_ = path_;
            lastOffset_ = static_cast<std::uint64_t>(st.st_size);
        }
        if (!ok) {
            error = errno != 0 ? errno : EIO;
            // Nothing of a record that failed stays: the next one must not
            // follow a torn one.
            if (st.st_size > 0) (void)::ftruncate(fd_, st.st_size);
            Close();
        }
    }
    if (ok) {
        failing_ = false;
        return true;
    }
    if (!failing_) {
        failing_ = true;
        LogLine(log, COLOUR_DARK_RED,
                "ERROR: Could not write the train journal %s (%s); trains are still acknowledged and reported\n",
                path_.c_str(), std::generic_category().message(error).c_str());
    }
    return false;
}

void TrainJournal::MarkWritten(const JournalRef& ref, const std::string& reportName) {
    if (ref.file.empty()) return;
    const int fd = ::open((ref.file + ".done").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the next start compares the report instead
    // A name is one word of a report folder; anything else is left out.
    const bool plain = !reportName.empty() && reportName.find_first_of(" \n/") == std::string::npos;
    const std::string line = std::to_string(ref.offset) + (plain ? " " + reportName : "") + "\n";
    (void)WriteAllBytes(fd, line.data(), line.size());
    ::close(fd);
}

void TrainJournal::MarkLastWritten(const std::string& reportName) {
    if (lastAppended_) MarkWritten(LastAppended(), reportName);
    lastAppended_ = false;
}

JournalRef TrainJournal::LastAppended() const {
    if (!lastAppended_) return {};
    return JournalRef{lastFile_, lastOffset_};
}

namespace {

// The marks of one journal file: offset and report name ("" for a mark
// written before names were kept).
std::vector<std::pair<std::uint64_t, std::string>> ReadMarks(const std::string& journalFile) {
    std::vector<std::pair<std::uint64_t, std::string>> marks;
    std::ifstream in(journalFile + ".done");
    for (std::string line; std::getline(in, line);) {
        char* end = nullptr;
        const unsigned long long offset = std::strtoull(line.c_str(), &end, 10);
        if (end == line.c_str()) continue;
        std::string name = *end == ' ' ? std::string(end + 1) : std::string();
        marks.emplace_back(offset, std::move(name));
    }
    return marks;
}

// The journal files of a folder, oldest first.
std::vector<std::pair<long, fs::path>> JournalFiles(const std::string& folder, std::error_code& ec) {
    std::vector<std::pair<long, fs::path>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const long date = TrainJournalDate(entry.path().filename().string());
        if (date != 0) files.emplace_back(date, entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

bool ReadJournalRecord(const JournalRef& ref, JournalTrain* train, std::string* why) {
    const auto fail = [&](const std::string& reason) {
        if (why) *why = ref.file + " at " + std::to_string(ref.offset) + ": " + reason;
        return false;
    };
    const int fd = ::open(ref.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    std::uint8_t head[TRAIN_JOURNAL_RECORD_HEAD];
    std::string record;
    const auto at = static_cast<off_t>(ref.offset);
    bool read = ref.offset >= TRAIN_JOURNAL_HEADER_SIZE &&
                ::pread(fd, head, sizeof head, at) == static_cast<ssize_t>(sizeof head);
    std::uint32_t length = read ? ReadLe32(head) : 0;
    read = read && length >= TRAIN_JOURNAL_BODY_FIXED && length <= TRAIN_JOURNAL_MAX_BODY;
    if (read) {
        // Read as a journal of one record, so the one decoder checks it.
        record = TrainJournalHeader();
        record.append(reinterpret_cast<const char*>(head), sizeof head);
        record.resize(record.size() + length);
        read = ::pread(fd, record.data() + TRAIN_JOURNAL_HEADER_SIZE + sizeof head, length,
                       at + static_cast<off_t>(sizeof head)) == static_cast<ssize_t>(length);
    }
    ::close(fd);
    if (!read) return fail("no record there");
    std::vector<JournalTrain> trains;
    if (DecodeJournal(record, &trains) != record.size() || trains.size() != 1) return fail("checksum mismatch");
    *train = std::move(trains.front());
    train->file = ref.file;
    train->offset = ref.offset;
    return true;
}

std::map<std::string, JournalRef> JournalReportIndex(const std::string& dataFolder) {
    std::map<std::string, JournalRef> index;
    std::error_code ec;
    for (const auto& [date, path] : JournalFiles(dataFolder + TRAIN_JOURNAL_FOLDER, ec)) {
        for (auto& [offset, name] : ReadMarks(path.string()))
            if (!name.empty()) index[name] = JournalRef{path.string(), offset};
    }
    return index;
}

std::vector<JournalTrain> TrainJournal::OpenAtStart(IOutput& log) {
    std::vector<JournalTrain> recent;
    const std::string folder = FolderPath();
    std::error_code ec;
    const auto files = JournalFiles(folder, ec);
    if (ec) return recent;
    const long today = YmdDayNumber(LocalYmd(clock_.Now()));
    for (const auto& [date, path] : files) {
        const long age = today - YmdDayNumber(date);
        if (age > TRAIN_JOURNAL_KEEP_DAYS) {
            std::error_code removeError;
            fs::remove(path, removeError);
            fs::remove(path.string() + ".done", removeError);
            continue;
        }
        // Only the files of today and yesterday are read: an older one has
        // no train a start restores, and nothing appends to it any more.
        if (age > 1) continue;
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) continue;
        bool isJournal = false;
        std::vector<JournalTrain> trains;
        const std::size_t sound = DecodeJournal(bytes, &trains, &isJournal);
        // A file with another header is none of ours: left as it is. One
        // shorter than the header was cut while it was made.
        const bool partialHeader = bytes.size() < TRAIN_JOURNAL_HEADER_SIZE &&
                                   std::memcmp(bytes.data(), MAGIC, bytes.size()) == 0;
        if ((isJournal || partialHeader) && sound < bytes.size()) {
            if (::truncate(path.c_str(), static_cast<off_t>(sound)) == 0) {
                LogLine(log, COLOUR_DARK_RED, "Train journal %s: torn end of %d bytes cut off\n",
                        path.c_str(), static_cast<int>(bytes.size() - sound));
            } else {
                LogLine(log, COLOUR_DARK_RED, "ERROR: Train journal %s: torn end of %d bytes could not be cut off (%s)\n",
                        path.c_str(), static_cast<int>(bytes.size() - sound), std::strerror(errno));
            }
        }
        std::set<std::uint64_t> done;
        if (!trains.empty()) {
            for (const auto& mark : ReadMarks(path.string())) done.insert(mark.first);
        }
        for (JournalTrain& t : trains) {
            if (done.count(t.offset) != 0) continue;
            t.file = path.string();
            recent.push_back(std::move(t));
        }
    }
    return recent;
}
