#include "engine/Startup.h"

#include "engine/Packets.h"

#include "platform/RadioPortSetting.h"
#include "radio/Frame.h"

int RunStartup(Collector& collector, const StartupSteps& steps) {
    steps.paneLine(COLOUR_DARK_RED, "Program Started!\n");
    steps.paneLine(COLOUR_DARK_RED, "Our (Collector) ID is " + std::to_string(COLLECTOR_ID) + ".\n");

    const std::string& folder = collector.DataFolder();
    int port = steps.portForThisRun;
    if (port == -1) {
        std::string error;
        port = ReadRadioPortSetting(folder, &error);
        if (!error.empty() && steps.portSettingError) steps.portSettingError(error);
    }
    if (port == -1 && steps.choosePort) {
        port = steps.choosePort();
        if (port != -1) WriteRadioPortSetting(folder, port);
    }
    if (port != -1) {
        steps.paneLine(COLOUR_DARK_RED, "Using Serial Port COMM " + std::to_string(port) + "\n\n");
        if (steps.scopeBeforePort && steps.openScope) steps.openScope();
        // The index is the COM number less one; its result changes nothing
        // here (a port that is away is retried by the port itself).
        collector.Port().Open(static_cast<std::uint8_t>(port - 1));
        if (!steps.scopeBeforePort && steps.openScope) steps.openScope();
    }
    collector.Callers().Load(nullptr, &collector);
    // Trains acknowledged before a crash whose reports never got in place.
    RestoreJournaledTrains(collector);
    return port;
}
