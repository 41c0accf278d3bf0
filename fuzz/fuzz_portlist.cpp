// libFuzzer target: see RunPortList in FuzzEntries.h.
#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return kestova_fuzz::RunPortList(kestova_fuzz::ProcessEnvironment(), data, size);
}
