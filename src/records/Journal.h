#pragma once
// The train journal: every train the collector is about to acknowledge is
// first appended, as it was received, to "Journal/Trains-YYYYMMDD.kj" in the
// data folder (one file per local date) and flushed to the disk. A train the
// site was told about is then on the disk before the ACK goes out, and a
// start after a crash writes the reports that never got into place from it
// (engine/JournalRecovery.h). The byte layout is drawn in docs/records.md.
//
// A file: an 8-byte header ("KSTJ", version 1 as u32), then the records.
// A record: u32 body length, u32 CRC-32C of the body, the body (u32 values
// little-endian):
//   i64 receive time (seconds since 1970), u8 radio id, u8 track/sequence
//   byte of the ACK, u8 delivery (1 All-in-One, 2 blocks), u8 block count,
//   the train data stream as received.
//
// The collector's worker alone appends; nothing here is shared.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "common/Output.h"

class IClock;

constexpr char TRAIN_JOURNAL_FOLDER[] = "Journal";
constexpr std::uint32_t TRAIN_JOURNAL_VERSION = 1;
constexpr std::size_t TRAIN_JOURNAL_HEADER_SIZE = 8;
constexpr std::size_t TRAIN_JOURNAL_RECORD_HEAD = 8;  // length and CRC
constexpr std::size_t TRAIN_JOURNAL_BODY_FIXED = 12;  // the body before the stream
constexpr int TRAIN_JOURNAL_KEEP_DAYS = 90;
// A body longer than this is no record of ours (a train stream is at most
// a block buffer of 9216 bytes).
constexpr std::uint32_t TRAIN_JOURNAL_MAX_BODY = 1u << 20;

enum class TrainDelivery : std::uint8_t { AllInOne = 1, Blocks = 2 };

struct JournalTrain {
    std::int64_t receivedAt = 0;
    std::uint8_t radioId = 0;
    std::uint8_t trackOrSequence = 0;
    TrainDelivery delivery = TrainDelivery::AllInOne;
    std::uint8_t blockCount = 0;
    std::vector<std::uint8_t> stream;
    // Where the record stands (set when it is read back at start).
    std::string file;
    std::uint64_t offset = 0;
};

// Where a journaled train stands: its journal file and its record's offset.
struct JournalRef {
    std::string file;          // "" when the train is in no journal
    std::uint64_t offset = 0;
};

// CRC-32C (Castagnoli, reflected, initial and final value FFFFFFFF).
std::uint32_t Crc32c(const std::uint8_t* data, std::size_t size);

// The file header, and one record as it is appended.
std::string TrainJournalHeader();
std::string EncodeJournalRecord(const JournalTrain& train);

// Reads a journal file's bytes: the records up to the first torn one (a
// length that runs past the end, or a CRC that fails) go to `trains` when
// given. Returns how many bytes from the start are sound: 0 for a file
// shorter than its header or not a journal file (see `isJournal`).
std::size_t DecodeJournal(const std::string& bytes, std::vector<JournalTrain>* trains,
                          bool* isJournal = nullptr);

// "Trains-YYYYMMDD.kj" for the local date of `now`; the date of such a name
// (0 for any other name).
std::string TrainJournalFileName(std::time_t now);
long TrainJournalDate(const std::string& fileName);

// Reads one record back, its CRC checked: false with the reason otherwise.
bool ReadJournalRecord(const JournalRef& ref, JournalTrain* train, std::string* why);

// The report files the marks of the data folder's journal files name (see
// TrainJournal::MarkWritten), each with where its train is in the journal.
// A name marked twice (the same train received again) keeps the newest.
std::map<std::string, JournalRef> JournalReportIndex(const std::string& dataFolder);

class TrainJournal {
public:
    // `dataFolder` with a trailing "/"; the date is `clock`'s.
    TrainJournal(std::string dataFolder, IClock& clock);
    ~TrainJournal();
    TrainJournal(const TrainJournal&) = delete;
    TrainJournal& operator=(const TrainJournal&) = delete;

    // Appends the train and flushes it to the disk. A failure is logged once
    // on `log` in dark red (again only after an append worked) and nothing
    // of the record stays in the file; false then.
    bool Append(const JournalTrain& train, IOutput& log);

    // At start: removes the files older than TRAIN_JOURNAL_KEEP_DAYS, cuts
    // the torn tails of the files of today and yesterday (one line each on
    // `log`; older files are not read at all), and returns their trains
    // whose reports are not marked written, oldest first.
    std::vector<JournalTrain> OpenAtStart(IOutput& log);

    // Marks a train's report as written, so that no later start writes it
    // again (a report taken away from the folder by another program stays
    // away): the line "<record offset> <report file name>" goes to
    // "<journal file>.done" (the name inside the report folder, "-2" and
    // all; marks written before names were kept hold the offset only). Not
    // flushed: a mark lost in a crash only means a start looks at that train
    // again. MarkLastWritten marks the train of the last Append that worked.
    void MarkWritten(const JournalRef& ref, const std::string& reportName);
    void MarkLastWritten(const std::string& reportName);
    // The record of the last Append that worked ({} when it failed).
    JournalRef LastAppended() const;

    std::string FolderPath() const;

private:
    void Close();
    bool OpenFor(long date, std::time_t now, int* error);

    const std::string dataFolder_;
    IClock& clock_;
    int fd_ = -1;
    long openDate_ = 0;
    std::string path_;
    bool failing_ = false;
    bool lastAppended_ = false;      // the last Append worked
    std::string lastFile_;
    std::uint64_t lastOffset_ = 0;
};
