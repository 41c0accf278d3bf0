// libFuzzer target: see RunWorker in FuzzEntries.h.
#include "FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return kestova_fuzz::RunWorker(kestova_fuzz::ProcessEnvironment(), data, size);
}
