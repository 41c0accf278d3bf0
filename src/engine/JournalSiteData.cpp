#include "engine/JournalSiteData.h"

#include <map>
#include <memory>
#include <optional>

#include "common/Bytes.h"
#include "engine/Assembly.h"

SiteData SiteDataOfJournalTrain(const JournalTrain& train) {
    SiteData site;
    auto record = std::make_unique<TrainRecord>();
    // A short stream is assembled all the same (its missing bytes read 0),
    // as its report was.
    AssembleJournalTrain(*record, train);
    site.header.assign(record->prefix, record->prefix + TRAIN_PREFIX_SIZE);
    site.header.insert(site.header.end(), record->header, record->header + TRAIN_HEADER_SIZE);
    std::size_t axles = ReadLe16(record->header + th::AXLE_COUNT);
    if (axles > MAX_AXLES) axles = MAX_AXLES;
    site.axleByte6.reserve(axles);
    for (std::size_t i = 0; i < axles; ++i) site.axleByte6.push_back(record->axleSlots[i].bytes[6]);
    site.alarms = ReadSiteAlarmEntries(train.stream.data(), train.stream.size(),
                                       train.delivery == TrainDelivery::Blocks);
    site.receivedAt = train.receivedAt;
    site.radioId = train.radioId;
    site.delivery = static_cast<int>(train.delivery);
    const std::size_t slash = train.file.rfind('/');
    site.journalFile = slash == std::string::npos ? train.file : train.file.substr(slash + 1);
    site.journalOffset = train.offset;
    return site;
}

bool ReadSiteData(const JournalRef& ref, SiteData* out, std::string* why) {
    JournalTrain train;
    if (ref.file.empty() || !ReadJournalRecord(ref, &train, why)) return false;
    *out = SiteDataOfJournalTrain(train);
    return true;
}

TrainHistory::SiteDataLookup JournalSiteDataLookup(const std::string& dataFolder) {
    auto index = std::make_shared<std::optional<std::map<std::string, JournalRef>>>();
    return [dataFolder, index](const std::string& reportName, SiteData* out) {
        if (!index->has_value()) *index = JournalReportIndex(dataFolder);
        const auto it = (*index)->find(reportName);
        return it != (*index)->end() && ReadSiteData(it->second, out, nullptr);
    };
}
