#include "records/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <utility>

#include "common/CivilDate.h"
#include "common/LogLine.h"
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

std::uint32_t GetLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

long LocalDate(std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return (local.tm_year + 1900L) * 10000L + (local.tm_mon + 1L) * 100L + local.tm_mday;
}

long DayNumber(long yyyymmdd) {
    return static_cast<long>(DaysFromCivil(yyyymmdd / 10000, static_cast<unsigned>((yyyymmdd / 100) % 100),
                                           static_cast<unsigned>(yyyymmdd % 100)));
}

bool SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
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
                         GetLe32(p + 4) == TRAIN_JOURNAL_VERSION;
    if (isJournal) *isJournal = journal;
    if (!journal) return 0;
    std::size_t at = TRAIN_JOURNAL_HEADER_SIZE;
    while (bytes.size() - at >= TRAIN_JOURNAL_RECORD_HEAD) {
        const std::uint32_t length = GetLe32(p + at);
        if (length < TRAIN_JOURNAL_BODY_FIXED || length > TRAIN_JOURNAL_MAX_BODY ||
            length > bytes.size() - at - TRAIN_JOURNAL_RECORD_HEAD) {
            break;
        }
        const std::uint8_t* body = p + at + TRAIN_JOURNAL_RECORD_HEAD;
        if (Crc32c(body, length) != GetLe32(p + at + 4)) break;
        if (trains) {
            JournalTrain t;
            t.offset = at;
            t.receivedAt = static_cast<std::int64_t>(static_cast<std::uint64_t>(GetLe32(body)) |
                                                     static_cast<std::uint64_t>(GetLe32(body + 4)) << 32);
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
    std::snprintf(name, sizeof name, "Trains-%08ld.kj", LocalDate(now));
    return name;
}

long TrainJournalDate(const std::string& name) {
    if (name.size() != 18 || name.compare(0, 7, "Trains-") != 0 || name.compare(15, 3, ".kj") != 0) return 0;
    long date = 0;
    for (std::size_t i = 7; i < 15; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        date = date * 10 + (name[i] - '0');
    }
    const long month = (date / 100) % 100, day = date % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
    return date;
}

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
        if (!WriteAll(fd_, TrainJournalHeader()) || ::fdatasync(fd_) != 0 ||
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
    const long date = LocalDate(now);
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
        ok = ::fstat(fd_, &st) == 0 && WriteAll(fd_, record) && ::fdatasync(fd_) == 0;
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

void TrainJournal::MarkWritten(const std::string& file, std::uint64_t offset) {
    const int fd = ::open((file + ".done").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the next start compares the report instead
    const std::string line = std::to_string(offset) + "\n";
    (void)WriteAll(fd, line);
    ::close(fd);
}

void TrainJournal::MarkLastWritten() {
    if (lastAppended_) MarkWritten(lastFile_, lastOffset_);
    lastAppended_ = false;
}

std::vector<JournalTrain> TrainJournal::OpenAtStart(IOutput& log) {
    std::vector<JournalTrain> recent;
    const std::string folder = FolderPath();
    std::error_code ec;
    std::vector<std::pair<long, fs::path>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const long date = TrainJournalDate(entry.path().filename().string());
        if (date != 0) files.emplace_back(date, entry.path());
    }
    if (ec) return recent;
    std::sort(files.begin(), files.end());
    const long today = DayNumber(LocalDate(clock_.Now()));
    for (const auto& [date, path] : files) {
        const long age = today - DayNumber(date);
        if (age > TRAIN_JOURNAL_KEEP_DAYS) {
            std::error_code removeError;
            fs::remove(path, removeError);
            fs::remove(path.string() + ".done", removeError);
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) continue;
        bool isJournal = false;
        std::vector<JournalTrain> trains;
        const std::size_t sound = DecodeJournal(bytes, age <= 1 ? &trains : nullptr, &isJournal);
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
            std::ifstream marks(path.string() + ".done");
            for (std::uint64_t offset = 0; marks >> offset;) done.insert(offset);
        }
        for (JournalTrain& t : trains) {
            if (done.count(t.offset) != 0) continue;
            t.file = path.string();
            recent.push_back(std::move(t));
        }
    }
    return recent;
}
