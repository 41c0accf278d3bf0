#include "collector/CollectorOptions.h"

#include <cstdio>
#include <vector>

#include "common/CommandLine.h"
#include "common/Version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kUsageLine =
    "Usage: kestova-collector [--data-folder DIR] [--port N] [--check] [--help] [--version]\n";

void PrintHelp() {
    std::fputs(kUsageLine, stdout);
    std::fputs(
        "\n"
        "Collects train data from wayside sites over the radio port, without windows:\n"
        "the serial scope goes to stdout, operator commands (echo SITE LENGTH, list)\n"
        "come from stdin, SIGINT or SIGTERM stop it.\n"
        "\n"
        "  --data-folder DIR  keep every file in DIR (else KESTOVA_HOME, else the\n"
        "                     program's folder; an installed program uses\n"
        "                     /var/lib/kestova/default)\n"
        "  --port N           use COM port N (1 to 256) for this run; the settings\n"
        "                     file is not changed\n"
        "  --check            check the settings, the radio port, the folders and\n"
        "                     Callers.bin, one line each; exit 0 when all is well\n"
        "  --help             show this text\n"
        "  --version          show the version\n"
        "\n"
        "Exit status: 0 stopped by a signal (or --check found nothing wrong), 1 the\n"
        "worker did not stop or start-up failed (or --check found a problem), 2 no\n"
        "radio port configured, or a bad command line.\n",
        stdout);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kestova-collector: %s\n", message.c_str());
    std::fputs(kUsageLine, stderr);
    return kExitUsage;
}

}  // namespace

int ReadCollectorOptions(int argc, char** argv, CollectorOptions* out) {
    const ParsedCommandLine args = ParseCommandLine(
        std::vector<std::string>(argv + 1, argv + argc),
        {{"--help"}, {"--version"}, {"--check"}, {"--data-folder", true}, {"--port", true}});
    if (!args.error.empty()) return UsageError(args.error);
    if (!args.operands.empty()) return UsageError("unexpected argument " + args.operands.front());
    if (args.Has("--help")) {
        PrintHelp();
        return 0;
    }
    if (args.Has("--version")) {
        std::printf("kestova-collector %s\n", KestovaVersion());
        return 0;
    }
    long long port = -1;
    if (args.Has("--port") && !ParseIntInRange(args.Value("--port"), 1, 256, &port))
        return UsageError("--port takes a COM number from 1 to 256, not \"" + args.Value("--port") + "\"");
    if (args.Has("--data-folder") && args.Value("--data-folder").empty())
        return UsageError("--data-folder needs a folder");
    out->dataFolder = args.Value("--data-folder");
    out->port = static_cast<int>(port);
    out->check = args.Has("--check");
    return -1;
}
