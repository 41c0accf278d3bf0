#pragma once
// The report files the collector should write: each acknowledged train is
// assembled and formatted with the collector's own assembly and report code
// and written to a folder of its own, for a byte-by-byte comparison.
#include <memory>
#include <string>

#include "TrainGenerator.h"
#include "common/TrainRecord.h"

namespace sitesim {

class ExpectationWriter {
public:
    explicit ExpectationWriter(std::string folder);
    // Writes the expected report of one train; returns its file name, or ""
    // when the file could not be written.
    std::string Write(const GeneratedTrain& train, bool blocks);
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
    // One record reused from train to train, as the collector does.
    std::unique_ptr<TrainRecord> record_;
};

}  // namespace sitesim
