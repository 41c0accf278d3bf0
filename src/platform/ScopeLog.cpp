#include "platform/ScopeLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "common/CivilDate.h"
#include "platform/Clock.h"

namespace fs = std::filesystem;

namespace {

void RemoveOldLogs(const fs::path& folder, long today) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return;
    const long todayNumber = YmdDayNumber(today);
    for (const fs::directory_entry& entry : it) {
        const long date = YmdInFileName(entry.path().filename().string(), "Scope-", ".txt");
        if (date == 0) continue;
        if (todayNumber - YmdDayNumber(date) > SCOPE_LOG_KEEP_DAYS) {
            std::error_code removeError;
            fs::remove(entry.path(), removeError);
        }
    }
}

}  // namespace

std::string ScopeLogFileName(std::time_t now) {
    char name[32];
    std::snprintf(name, sizeof name, "Scope-%08ld.txt", LocalYmd(now));
    return name;
}

ScopeLog::ScopeLog(std::string dataFolder, IClock& clock, std::uint64_t dailyLimit)
    : folder_(std::move(dataFolder)), clock_(clock), dailyLimit_(dailyLimit) {}

ScopeLog::~ScopeLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFile();
}

void ScopeLog::CloseFile() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (stopLineFd_ >= 0) ::close(stopLineFd_);
    stopLineFd_ = -1;
    openDate_ = 0;
    written_ = 0;
    stopped_ = false;
    stopLineAt_ = -1;
    droppedEntries_ = droppedBytes_ = 0;
}

// Always of the same length, so that it can be written over in place.
std::string ScopeLog::StopLine() const {
    constexpr std::size_t kWidth = 160;
    char text[kWidth + 1];
    std::snprintf(text, sizeof text,
                  "Scope log stopped: this day's log reached its limit of %llu bytes; "
                  "entries not logged since: %llu (%llu bytes)",
                  static_cast<unsigned long long>(dailyLimit_),
                  static_cast<unsigned long long>(droppedEntries_),
                  static_cast<unsigned long long>(droppedBytes_));
    std::string line = text;
    line.resize(kWidth - 1, ' ');
    return line + "\n";
}

void ScopeLog::StopAtLimit() {
    stopped_ = true;
    const std::string line = StopLine();
    if (std::fwrite(line.data(), 1, line.size(), file_) == line.size() && std::fflush(file_) == 0) {
        struct stat st {};
        if (::fstat(::fileno(file_), &st) == 0) {
            stopLineAt_ = static_cast<long long>(st.st_size) - static_cast<long long>(line.size());
            // Without O_APPEND: the line is written over where it is.
            stopLineFd_ = ::open(filePath_.c_str(), O_WRONLY | O_CLOEXEC);
        }
    }
    std::fclose(file_);
    file_ = nullptr;
    std::fprintf(stderr, "Scope log \"%s\" reached its daily limit of %llu bytes: the rest of the day is not logged there\n",
                 filePath_.c_str(), static_cast<unsigned long long>(dailyLimit_));
    std::fflush(stderr);
}

void ScopeLog::Drop(std::size_t bytes) {
    ++droppedEntries_;
    droppedBytes_ += bytes;
    if (stopLineFd_ < 0) return;
    const std::string line = StopLine();
    if (::pwrite(stopLineFd_, line.data(), line.size(), static_cast<off_t>(stopLineAt_)) !=
        static_cast<ssize_t>(line.size())) {
        ::close(stopLineFd_);  // the count stays where it got to
        stopLineFd_ = -1;
    }
}

void ScopeLog::ReportFailure(int error) {
    if (failing_) return;
    failing_ = true;
    std::fprintf(stderr, "Scope log \"%s\" cannot be written: %s\n", filePath_.c_str(),
                 std::generic_category().message(error).c_str());
    std::fflush(stderr);
}

void ScopeLog::ReportRecovery() {
    if (!failing_) return;
    failing_ = false;
    std::fprintf(stderr, "Scope log \"%s\" is written again\n", filePath_.c_str());
    std::fflush(stderr);
}

bool ScopeLog::OpenFor(long date, std::time_t now) {
    const fs::path folder = fs::path(folder_) / "Logs";
    filePath_ = (folder / ScopeLogFileName(now)).string();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (date != cleanedDate_) {
        RemoveOldLogs(folder, date);
        cleanedDate_ = date;
    }
    file_ = std::fopen(filePath_.c_str(), "ab");
    if (file_ == nullptr) {
        ReportFailure(ec ? ec.value() : errno);
        return false;
    }
    openDate_ = date;
    // A restart on the same day goes on counting from what the file holds.
    struct stat st {};
    written_ = ::fstat(::fileno(file_), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return true;
}

std::string ScopeLog::CurrentPath() const {
    return (fs::path(folder_) / "Logs" / ScopeLogFileName(clock_.Now())).string();
}

void ScopeLog::Append(std::string_view plainText) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plainText.empty()) return;
    const std::time_t now = clock_.Now();
    const long date = LocalYmd(now);
    if (openDate_ == 0 || date != openDate_) {
        CloseFile();
        if (!OpenFor(date, now)) return;
    }
    if (!stopped_ && written_ + plainText.size() > dailyLimit_) StopAtLimit();
    if (stopped_) {
        Drop(plainText.size());
        return;
    }
    errno = 0;
    const bool ok = std::fwrite(plainText.data(), 1, plainText.size(), file_) == plainText.size() &&
                    std::fflush(file_) == 0;
    if (!ok) {
        const int error = errno != 0 ? errno : EIO;
        // Reopened at the next entry: the fault may be gone by then.
        CloseFile();
        ReportFailure(error);
        return;
    }
    written_ += plainText.size();
    ReportRecovery();
}
