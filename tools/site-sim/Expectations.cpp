#include "Expectations.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine/Assembly.h"
#include "records/TrainReport.h"

namespace sitesim {

ExpectationWriter::ExpectationWriter(std::string folder)
    : folder_(std::move(folder)), record_(std::make_unique<TrainRecord>()) {
    *record_ = TrainRecord{};
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
}

std::string ExpectationWriter::Write(const GeneratedTrain& train, bool blocks) {
    if (blocks)
        AssembleFromBlocks(*record_, train.stream.data(), train.stream.size());
    else
        AssembleAllInOne(*record_, train.stream.data(), train.stream.size());
    const std::string name = TrainReportFileName(record_->header);
    const std::string text = FormatTrainReport(record_->header, record_->axleSlots);
    const std::filesystem::path path = std::filesystem::path(folder_) / name;
    const std::filesystem::path temp = std::filesystem::path(folder_) / (name + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out) return "";
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    return ec ? "" : name;
}

}  // namespace sitesim
