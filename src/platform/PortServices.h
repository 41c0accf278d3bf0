#pragma once
// What a radio port needs from its owner, the collector: the data folder
// (where "Ports/COM<n>" links live), where its log lines and events go, the
// link status it keeps up to date, and the clock it times reopening with.
// Each may be null (a port used on its own in a test): then nothing is told.
#include <string>

class IClock;
class IOutput;
class LinkWatch;

struct PortServices {
    std::string dataFolder;      // with a trailing "/"
    IOutput* out = nullptr;
    LinkWatch* link = nullptr;
    IClock* clock = nullptr;
};
