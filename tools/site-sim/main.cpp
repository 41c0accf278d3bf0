// kestova-site-sim: plays remote sites towards a collector on a serial
// device or on a pseudo-terminal of its own. See docs/simulator.md.
#include <atomic>
#include <chrono>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "Expectations.h"
#include "LineLink.h"
#include "SimPlan.h"
#include "SiteSession.h"
#include "common/Version.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace fs = std::filesystem;
using namespace sitesim;

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

// Marks a Radio_Port written by the simulator, so that scripts (and the
// simulator itself, next time) can tell it from a radio set up by hand.
constexpr const char* SIM_SECTION = "Site Simulator";
constexpr const char* SIM_KEY = "Port";

// Links dataFolder/Ports/COM<com> to the pseudo-terminal. Replaces an older
// link, never a real file.
bool MakePortLink(const fs::path& link, const std::string& target, std::string* error) {
    std::error_code ec;
    fs::create_directories(link.parent_path(), ec);
    if (fs::exists(fs::symlink_status(link)) && !fs::is_symlink(fs::symlink_status(link))) {
        *error = link.string() + " exists and is not a link; not replacing it";
        return false;
    }
    const fs::path temp = link.string() + ".sim-" + std::to_string(getpid());
    fs::remove(temp, ec);
    fs::create_symlink(target, temp, ec);
    if (!ec) fs::rename(temp, link, ec);
    if (ec) {
        *error = "cannot link " + link.string() + " to " + target + ": " + ec.message();
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

// Points the collector's settings at COM<com>, unless a port of somebody
// else's choosing is there (then --set-port is needed).
void ConfigurePort(const fs::path& folder, int com, bool force) {
    const std::string ini = (folder / SETTINGS_FILE_NAME).string();
    const int current = GetProfileInt(ini, RADIO_PORT_SECTION, RADIO_PORT_KEY, -1);
    const bool ours = !GetProfileString(ini, SIM_SECTION, SIM_KEY, "").empty();
    if (current != -1 && current != com && !ours && !force) {
        std::cout << "site-sim: " << ini << " sets Radio_Port=" << current
                  << "; left as it is (the collector will not use COM" << com
                  << " unless Radio_Port=" << com << "; --set-port changes it)" << std::endl;
        return;
    }
    if (current != com || !ours) {
        WriteProfileInt(ini, RADIO_PORT_SECTION, RADIO_PORT_KEY, com);
        WriteProfileInt(ini, SIM_SECTION, SIM_KEY, com);
        std::cout << "site-sim: " << ini << ": Radio_Port=" << com << std::endl;
    }
}

void PrintSummary(const Stats& s, double seconds, unsigned baud) {
    const double lineSent = static_cast<double>(s.bytesSent) * 10.0 / baud;
    // A train cut short by Ctrl+C is neither acknowledged nor failed.
    const std::uint64_t open = s.trainsSent - s.trainsAcknowledged - s.trainsFailed;
    const std::string interrupted = open > 0 ? ", " + std::to_string(open) + " interrupted" : "";
    const double lineBoth = static_cast<double>(s.bytesSent + s.bytesReceived) * 10.0 / baud;
    char text[512];
    std::snprintf(text, sizeof text,
                  "site-sim: summary: %llu trains sent, %llu acknowledged, %llu retried "
                  "(%llu resends), %llu failed%s\n"
                  "site-sim: %llu Powerups sent, %llu acknowledged; %llu replies checked, "
                  "%llu protocol errors, %llu unexpected replies, %llu warnings\n"
                  "site-sim: %llu bytes sent, %llu received in %.2f s; at %u baud they need "
                  "%.2f s on the line (%.2f s for the bytes sent)\n",
                  static_cast<unsigned long long>(s.trainsSent),
                  static_cast<unsigned long long>(s.trainsAcknowledged),
                  static_cast<unsigned long long>(s.trainsRetried),
                  static_cast<unsigned long long>(s.resends),
                  static_cast<unsigned long long>(s.trainsFailed), interrupted.c_str(),
                  static_cast<unsigned long long>(s.powerupsSent),
                  static_cast<unsigned long long>(s.powerupsAcknowledged),
                  static_cast<unsigned long long>(s.repliesChecked),
                  static_cast<unsigned long long>(s.protocolErrors),
                  static_cast<unsigned long long>(s.unexpectedReplies),
                  static_cast<unsigned long long>(s.warnings),
                  static_cast<unsigned long long>(s.bytesSent),
                  static_cast<unsigned long long>(s.bytesReceived), seconds, baud, lineBoth,
                  lineSent);
    std::cout << text << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
    SimConfig config;
    const std::string error =
        ParseArguments(std::vector<std::string>(argv + 1, argv + argc), config);
    if (!error.empty()) {
        std::cerr << "kestova-site-sim: " << error
                  << "\nUsage: kestova-site-sim [options] (--help lists them)\n";
        return 2;
    }
    if (config.help) {
        std::cout << UsageText();
        return 0;
    }
    if (config.version) {
        std::cout << "kestova-site-sim " << KestovaVersion() << "\n";
        return 0;
    }

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string openError;
    std::unique_ptr<LineLink> link =
        config.device.empty() ? LineLink::OpenPseudoTerminal(&openError)
                              : LineLink::OpenDevice(config.device, config.baud, &openError);
    if (!link) {
        std::cerr << "kestova-site-sim: " << openError << "\n";
        return 2;
    }
    link->SetPacing(config.pacing ? config.baud : 0);
    link->SetStop(&stopRequested);

    fs::path portLink;
    if (!config.dataFolder.empty()) {
        const fs::path folder = fs::absolute(config.dataFolder);
        portLink = folder / "Ports" / ("COM" + std::to_string(config.com));
        // The settings first: a collector started as soon as the link
        // appears must find its port configured.
        std::error_code ec;
        fs::create_directories(folder, ec);
        ConfigurePort(folder, config.com, config.setPort);
        std::string linkError;
        if (!MakePortLink(portLink, link->DevicePath(), &linkError)) {
            std::cerr << "kestova-site-sim: " << linkError << "\n";
            return 2;
        }
        std::cout << "site-sim: " << link->DevicePath() << " linked as " << portLink.string()
                  << std::endl;
    } else {
        std::cout << "site-sim: "
                  << (link->IsPseudoTerminal() ? "collector side of the line: " : "on ")
                  << link->DevicePath() << std::endl;
    }

    std::unique_ptr<ExpectationWriter> expect;
    if (!config.expectFolder.empty())
        expect = std::make_unique<ExpectationWriter>(config.expectFolder);

    SessionOptions options;
    options.replyTimeoutMs = config.replyTimeoutMs;
    options.retries = config.retries;
    options.busyWaitMs = config.busyWaitMs;
    options.peerTimeoutMs = config.peerTimeoutSeconds * 1000;
    options.strict = link->IsPseudoTerminal();
    options.verbose = config.verbose;
    options.stop = &stopRequested;
    std::ostream& out = std::cout;
    SiteSession session(*link, options, out);
    std::string lastReport;
    session.onAcknowledged = [&](const GeneratedTrain& train, bool blocks) {
        lastReport = train.ReportFileName();
        if (!expect) return;
        const std::string name = expect->Write(train, blocks);
        if (name.empty())
            out << "site-sim: cannot write the expected report in " << expect->Folder()
                << std::endl;
        else if (!(blocks && train.design.format == StreamFormat::Legacy) &&
                 name != train.ReportFileName())
            out << "site-sim: warning: expected report named " << name << ", the train says "
                << train.ReportFileName() << std::endl;
    };

    // Line mode: the line's sites, of which this process plays some.
    if (config.lineSites > 0 && config.lineStart == 0) config.lineStart = static_cast<long long>(std::time(nullptr));
    const std::vector<SiteIdentity> lineSites = config.lineSites > 0 ? MakeLineSites(config) : std::vector<SiteIdentity>{};
    std::vector<SiteIdentity> sites;
    if (config.lineSites > 0)
        for (int place : config.linePlay) sites.push_back(lineSites[static_cast<std::size_t>(place - 1)]);
    else
        sites = MakeSites(config);
    Planner planner(config, sites);
    const auto started = std::chrono::steady_clock::now();

    auto powerups = [&]() {
        for (const SiteIdentity& site : sites) {
            if (stopRequested) return;
            const Outcome o = session.SendPowerup(site);
            if (!config.quiet && o != Outcome::Stopped) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "site-sim: Powerup of site %d (%s, site number %d, milepost %d.%d, "
                              "%d track%s): %s",
                              site.radioId, site.unit == UnitKind::Tallquin ? "Tallquin" : "Halvor",
                              site.siteNumber, site.milepost / 10, site.milepost % 10, site.tracks,
                              site.tracks > 1 ? "s" : "",
                              o == Outcome::Acknowledged ? "acknowledged" : "NOT acknowledged");
                out << text << std::endl;
            }
        }
    };

    if (config.powerup) powerups();
    // Line mode: each train's passes at the played sites, sent when due
    // (the trains of one process in the order they pass its sites).
    LinePlanner line(config, lineSites);
    std::vector<LinePass> due;
    int drawn = 0;
    const auto lineStartMs = [&] { return config.lineStart * 1000; };
    while (config.lineSites > 0 && !stopRequested) {
        while ((config.forever || drawn < config.trains) &&
               (due.empty() || line.NextDepartureMs() <= due.front().dueMs)) {
            for (LinePass& p : line.Next()) due.push_back(std::move(p));
            ++drawn;
            std::stable_sort(due.begin(), due.end(), [](const LinePass& a, const LinePass& b) { return a.dueMs < b.dueMs; });
        }
        if (due.empty()) break;
        LinePass pass = std::move(due.front());
        due.erase(due.begin());
        for (;;) {
            const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::system_clock::now().time_since_epoch()).count();
            const long long wait = lineStartMs() + pass.dueMs - now;
            if (wait <= 0 || stopRequested) break;
            link->Pause(static_cast<std::uint32_t>(std::min<long long>(wait, 1000)));
        }
        if (stopRequested) break;
        const SiteIdentity& site = lineSites[pass.place];
        const Outcome o = pass.plan.allInOne ? session.SendAllInOne(site, pass.plan.train, pass.plan.faults)
                                             : session.SendBlocks(site, pass.plan.train, pass.plan.blockSize,
                                                                  pass.plan.faults, pass.plan.interference);
        if (o == Outcome::Stopped) break;
        if (!config.quiet)
            out << "site-sim: line train " << pass.train + 1 << " (number " << pass.plan.train.design.trainNumber
                << ") at site " << pass.place + 1 << " of the line (radio " << int(site.radioId) << ", milepost "
                << site.milepost / 10 << "." << site.milepost % 10 << ", " << pass.plan.train.lineSeconds
                << " s after the first): " << pass.plan.Describe() << ": "
                << (o == Outcome::Acknowledged ? "acknowledged" : "FAILED") << std::endl;
    }
    for (int i = 0; config.lineSites == 0 && !stopRequested && (config.forever || i < config.trains); ++i) {
        if (i > 0 && config.powerupEvery > 0 && i % config.powerupEvery == 0) powerups();
        if (stopRequested) break;
        TrainPlan plan = planner.Next();
        const SiteIdentity& site = sites[plan.siteIndex];
        if (!plan.note.empty()) out << "site-sim: note: " << plan.note << std::endl;
        const std::uint64_t resendsBefore = session.GetStats().resends;
        lastReport.clear();
        const Outcome o = plan.allInOne
                              ? session.SendAllInOne(site, plan.train, plan.faults)
                              : session.SendBlocks(site, plan.train, plan.blockSize, plan.faults,
                                                   plan.interference);
        if (o == Outcome::Stopped) break;
        if (!config.quiet) {
            const std::uint64_t resends = session.GetStats().resends - resendsBefore;
            out << "site-sim: train " << plan.train.design.trainNumber << " (";
            if (config.forever)
                out << i + 1;
            else
                out << i + 1 << "/" << config.trains;
            out << ") site " << int(site.radioId) << " track " << int(plan.train.design.track)
                << ": " << plan.Describe() << ": "
                << (o == Outcome::Acknowledged ? "acknowledged" : "FAILED");
            if (resends > 0) out << " after " << resends << " resend" << (resends > 1 ? "s" : "");
            if (o == Outcome::Acknowledged) out << " -> Z918E/" << plan.train.ReportFileName();
            out << std::endl;
        }
        if (config.intervalSeconds > 0 && (config.forever || i + 1 < config.trains))
            link->Pause(static_cast<std::uint32_t>(config.intervalSeconds * 1000));
    }
    if (!stopRequested) session.Linger(config.lingerMs);

    // The exchange's time runs from its first frame: waiting for the
    // collector to open the port is no part of it.
    const Stats& stats = session.GetStats();
    const double seconds =
        stats.framesSent > 0
            ? static_cast<double>(link->NowMs() - stats.firstFrameMs) / 1000.0
            : std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    PrintSummary(session.GetStats(), seconds, config.baud);

    if (!portLink.empty()) {
        // Leave no link to a pseudo-terminal that is gone.
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(portLink)) &&
            fs::read_symlink(portLink, ec) == fs::path(link->DevicePath()))
            fs::remove(portLink, ec);
    }
    const Stats& s = session.GetStats();
    return (s.trainsFailed > 0 || s.protocolErrors > 0) ? 1 : 0;
}
