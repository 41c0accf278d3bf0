#include "platform/ScopeLog.h"

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

long LocalDate(std::time_t now) {
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return (local.tm_year + 1900L) * 10000L + (local.tm_mon + 1L) * 100L + local.tm_mday;
}

long DayNumber(long yyyymmdd) {
    return static_cast<long>(DaysFromCivil(yyyymmdd / 10000,
                                           static_cast<unsigned>((yyyymmdd / 100) % 100),
                                           static_cast<unsigned>(yyyymmdd % 100)));
}

// YYYYMMDD from "Scope-YYYYMMDD.txt"; 0 for any other name.
long DateFromName(const std::string& name) {
    if (name.size() != 18 || name.compare(0, 6, "Scope-") != 0 ||
        name.compare(14, 4, ".txt") != 0) {
        return 0;
    }
    long date = 0;
    for (std::size_t i = 6; i < 14; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        date = date * 10 + (name[i] - '0');
    }
    const long month = (date / 100) % 100, day = date % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
    return date;
}

void RemoveOldLogs(const fs::path& folder, long today) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return;
    const long todayNumber = DayNumber(today);
    for (const fs::directory_entry& entry : it) {
        const long date = DateFromName(entry.path().filename().string());
        if (date == 0) continue;
        if (todayNumber - DayNumber(date) > SCOPE_LOG_KEEP_DAYS) {
            std::error_code removeError;
            fs::remove(entry.path(), removeError);
        }
    }
}

}  // namespace

std::string ScopeLogFileName(std::time_t now) {
    char name[32];
    std::snprintf(name, sizeof name, "Scope-%08ld.txt", LocalDate(now));
    return name;
}

ScopeLog::ScopeLog(std::string dataFolder, IClock& clock)
    : folder_(std::move(dataFolder)), clock_(clock) {}

ScopeLog::~ScopeLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFile();
}

void ScopeLog::CloseFile() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    openDate_ = 0;
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
    return true;
}

std::string ScopeLog::CurrentPath() const {
    return (fs::path(folder_) / "Logs" / ScopeLogFileName(clock_.Now())).string();
}

void ScopeLog::Append(std::string_view plainText) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plainText.empty()) return;
    const std::time_t now = clock_.Now();
    const long date = LocalDate(now);
    if (file_ == nullptr || date != openDate_) {
        CloseFile();
        if (!OpenFor(date, now)) return;
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
    ReportRecovery();
}
