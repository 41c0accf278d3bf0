#include "engine/HeldTrains.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "common/LogLine.h"
#include "engine/Collector.h"
#include "platform/Paths.h"
#include "records/TrainReport.h"

bool HeldTrains::Hold(HeldTrain train) {
    if (trains_.size() >= capacity_) return false;
    trains_.push_back(std::move(train));
    count_ = trains_.size();
    return true;
}

void HeldTrains::PopFront() {
    trains_.pop_front();
    count_ = trains_.size();
}

void HeldTrains::SetReason(const std::string& reason) {
    std::lock_guard<std::mutex> lock(reasonMutex_);
    reason_ = reason;
}

std::string HeldTrains::Reason() const {
    std::lock_guard<std::mutex> lock(reasonMutex_);
    return reason_;
}

std::string HeldTrains::Summary() const {
    const std::size_t n = Count();
    if (n == 0) return "";
    return std::to_string(n) + (n == 1 ? " train held" : " trains held") +
           ": the data folder refuses writes (" + Reason() + ")";
}

namespace {

void PublishHeldCount(Collector& c) {
    EngineEvent event;
    event.kind = EventKind::TrainsHeld;
    event.count = static_cast<std::int32_t>(c.Held().Size());
    if (event.count > 0) event.text = c.Held().Reason();
    c.Publish(std::move(event));
}

std::string FileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

}  // namespace

void HoldTrain(Collector& c, HeldTrain train, const std::string& why) {
    HeldTrains& held = c.Held();
    if (held.Empty()) {
        held.SetReason(why);
        held.lastTry = c.Clock().TickCount();
        held.writtenSinceHeld = 0;
        LogLine(c, COLOUR_DARK_RED,
                "ERROR: The data folder refuses writes (%s): train reports are held in memory "
                "until it accepts them\n",
                why.c_str());
    }
    const std::string path = train.path;
    if (!held.Hold(std::move(train))) {
        LogLine(c, COLOUR_DARK_RED,
                "ERROR: Train report %s is lost: %d train reports are held already and the data "
                "folder refuses writes (%s)\n",
                path.c_str(), static_cast<int>(held.Size()), held.Reason().c_str());
        return;
    }
    PublishHeldCount(c);
}

void WriteHeldTrains(Collector& c) {
    HeldTrains& held = c.Held();
    held.lastTry = c.Clock().TickCount();
    const std::size_t before = held.Size();
    while (!held.Empty()) {
        HeldTrain& train = held.Front();
        std::string written, why;
        if (!StoreTrainReport(train.path, train.bytes, &written, &why)) {
            held.SetReason(why);
            break;
        }
        if (written != train.path) {
            LogLine(c, COLOUR_DARK_RED, "Train report %s exists for another train; written as %s\n",
                    train.path.c_str(), written.c_str());
        }
        EngineEvent event = std::move(train.event);
        event.kind = EventKind::TrainReported;
        event.reportPath = written;
        c.Journal().MarkWritten(train.journal, FileNameOf(written));
        event.journalFile = train.journal.file;
        event.journalOffset = train.journal.offset;
        held.PopFront();
        ++held.writtenSinceHeld;
        c.Publish(std::move(event));
    }
    if (held.Size() == before) return;
    PublishHeldCount(c);
    if (held.Empty()) {
        LogLine(c, COLOUR_DARK_GREEN, "Held train reports written: %d\n", held.writtenSinceHeld);
        held.SetReason("");
    }
}

void RetryHeldTrains(Collector& c) {
    HeldTrains& held = c.Held();
    if (held.Empty()) return;
    if (c.Clock().TickCount() - held.lastTry < HELD_TRAINS_RETRY_MS) return;
    WriteHeldTrains(c);
}

std::string SaveHeldTrainsElsewhere(Collector& c, const std::string& root, int* saved) {
    *saved = 0;
    HeldTrains& held = c.Held();
    if (held.Empty()) return "";
    WriteHeldTrains(c);
    if (held.Empty()) return "";

    std::string base = root;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != 0 ? tmp : "/tmp";
    }
    base = WithTrailingSlash(base);
    const std::string folder = base + "kestova-held-" + std::to_string(::getpid()) + "/";
    std::error_code ignored;
    std::filesystem::create_directories(base, ignored);
    ::mkdir(folder.c_str(), 0700);  // only this user's; a failure shows up per report
    while (!held.Empty()) {
        HeldTrain& train = held.Front();
        std::string written, why;
        if (StoreTrainReport(folder + FileName(train.path), train.bytes, &written, &why)) {
            ++*saved;
        } else {
            LogLine(c, COLOUR_DARK_RED, "ERROR: Held train report %s is lost: %s could not be written (%s)\n",
                    train.path.c_str(), written.c_str(), why.c_str());
        }
        held.PopFront();
    }
    PublishHeldCount(c);
    if (*saved == 0) {
        ::rmdir(folder.c_str());  // nothing went there
        return "";
    }
    LogLine(c, COLOUR_DARK_RED,
            "ERROR: %d held train reports written to %s: the data folder refused them; move them "
            "to its Z918E folder\n",
            *saved, folder.c_str());
    return folder;
}
