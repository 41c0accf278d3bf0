#pragma once
// The daily scope log: every serial scope entry, as the plain text the
// scope shows (time-stamp prefix and text or dump, unchanged), appended to
// "Logs/Scope-YYYYMMDD.txt" in the data folder, one file per local date.
// The file and folder are made when first needed and the file is flushed
// after every entry, so nothing is lost when a pane trims its text or the
// program ends. Log files dated more than 90 days before today are removed
// at the first entry and at every change of date.
//
// A file that cannot be written is reported once on stderr, and once more
// when writing works again; the entries in between are lost, nothing else
// is affected. (It cannot log to the scope: that would come back here.)
//
// A day's file holds at most a daily limit (SCOPE_LOG_DAILY_LIMIT): radio
// noise must not fill the disk. The entry that would pass it is not
// written; instead one line says that the log stopped at the limit, and
// that line is kept up to date with the entries and bytes left out since
// (the scope view still shows them). It is told once on stderr as well. The
// next day's file starts afresh; a restart on the same day finds the file
// at its limit and adds one such line of its own.
//
// Each collector has one, for its data folder; every scope entry it makes
// is appended, whether or not a scope window exists. Thread-safe; the date
// is the collector's clock's.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

class IClock;

constexpr std::uint64_t SCOPE_LOG_DAILY_LIMIT = std::uint64_t{64} << 20;

class ScopeLog {
public:
    // `dataFolder` with a trailing "/"; the files go to its "Logs/".
    // `dailyLimit`: the bytes of entries a day's file takes.
    ScopeLog(std::string dataFolder, IClock& clock, std::uint64_t dailyLimit = SCOPE_LOG_DAILY_LIMIT);
    ~ScopeLog();
    ScopeLog(const ScopeLog&) = delete;
    ScopeLog& operator=(const ScopeLog&) = delete;

    // Appends one entry's text as it is (it normally ends with its own line end).
    void Append(std::string_view plainText);
    // The file entries go to now.
    std::string CurrentPath() const;

private:
    void CloseFile();
    bool OpenFor(long date, std::time_t now);
    void ReportFailure(int error);
    void ReportRecovery();
    void StopAtLimit();
    void Drop(std::size_t bytes);
    std::string StopLine() const;

    const std::string folder_;
    IClock& clock_;
    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    long openDate_ = 0;      // YYYYMMDD of the open file
    long cleanedDate_ = 0;   // date of the last removal of old files
    bool failing_ = false;   // a failure has been reported and not yet cleared
    std::string filePath_;
    const std::uint64_t dailyLimit_;
    std::uint64_t written_ = 0;         // bytes in the open file
    bool stopped_ = false;              // the open file is at its limit
    int stopLineFd_ = -1;               // the open file, to keep its stop line up to date
    long long stopLineAt_ = -1;         // where that line begins
    std::uint64_t droppedEntries_ = 0;  // left out since the stop
    std::uint64_t droppedBytes_ = 0;
};

constexpr int SCOPE_LOG_KEEP_DAYS = 90;
// "Scope-YYYYMMDD.txt" for the local date of `now`.
std::string ScopeLogFileName(std::time_t now);
