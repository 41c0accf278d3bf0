#pragma once
// Train reports the data folder refused. A site hears its ACK before its
// report is written, so a report that cannot be written (a folder made
// read-only, a full disk) must not be lost: the collector keeps its bytes
// and where it was to go, in the order the trains arrived, and the worker
// writes them as soon as the folder takes them again. The first held
// report that still fails ends a round; a new train is written after the
// held ones when the folder takes them, else on its own if it can be. At a
// clean stop whatever is still held goes to a folder that can be
// written (kestova-held-<pid> under $TMPDIR or /tmp) and is named there.
//
// The queue belongs to the worker (and to the stop, once the worker has
// ended); the count and the reason can be read from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "common/Events.h"
#include "records/Journal.h"

class Collector;

constexpr std::size_t HELD_TRAINS_CAPACITY = 2000;  // trains; one more is lost, with a line naming it
constexpr std::uint32_t HELD_TRAINS_RETRY_MS = 10000;

struct HeldTrain {
    std::string path;   // where it was to go: "<data folder>Z918E/<name>"
    std::string bytes;  // the report as stored
    EngineEvent event;  // the TrainReported to publish once written (its path set then)
    JournalRef journal; // its journal record, marked once the report is written
};

class HeldTrains {
public:
    explicit HeldTrains(std::size_t capacity = HELD_TRAINS_CAPACITY) : capacity_(capacity) {}

    // The worker's side.
    bool Empty() const { return trains_.empty(); }
    std::size_t Size() const { return trains_.size(); }
    // False (and nothing held) when the queue is full.
    bool Hold(HeldTrain train);
    HeldTrain& Front() { return trains_.front(); }
    void PopFront();
    void SetReason(const std::string& reason);
    // The clock's tick of the last attempt at the data folder.
    std::uint32_t lastTry = 0;
    // Written since holding began (the line at its end counts them).
    int writtenSinceHeld = 0;

    // Any thread.
    std::size_t Count() const { return count_.load(); }
    std::string Reason() const;
    // "" when none is held; else e.g. "12 trains held: the data folder
    // refuses writes (No space left on device)".
    std::string Summary() const;

private:
    std::size_t capacity_;
    std::deque<HeldTrain> trains_;
    std::atomic<std::size_t> count_{0};
    mutable std::mutex reasonMutex_;
    std::string reason_;
};

// Holds the collector's train that could not be written (`why`: the
// system's reason): the line when holding begins, TrainsHeld, or a line
// naming the train when the queue is full.
void HoldTrain(Collector& collector, HeldTrain train, const std::string& why);

// One round: writes the held reports in order until one fails, publishes
// TrainReported for each written one and TrainsHeld when the count changed;
// the line "Held train reports written: N" when none is left.
void WriteHeldTrains(Collector& collector);

// The worker's check at the start of each cycle: a round when trains are
// held and the last attempt is HELD_TRAINS_RETRY_MS ago.
void RetryHeldTrains(Collector& collector);

// At a clean stop (the worker has ended): one last round, then what is still
// held goes to "<root>/kestova-held-<pid>/" under the same names (root: "" is
// $TMPDIR, else /tmp). Every report that cannot go there either gets a line.
// Returns the folder when reports went there ("" otherwise); `saved` gets
// how many.
std::string SaveHeldTrainsElsewhere(Collector& collector, const std::string& root, int* saved);
