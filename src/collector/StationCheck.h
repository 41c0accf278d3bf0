#pragma once
// kestova-collector --check: what stands between this data folder and a
// running collection, one line each on out ("ok: ..." or "FAIL: ..."):
// the settings, the radio port's device and whether it opens now, the
// folders, the free space, Callers.bin, the train history. portOverride is the --port of this run (-1: none).
// True when all is well.
#include <cstdio>
#include <string>

bool RunStationCheck(const std::string& dataFolder, const std::string& origin, int portOverride,
                     std::FILE* out);
