// kestova: the operator console.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/CommandLine.h"
#include "common/Version.h"
#include "console/KestovaApp.h"
#include "console/MainFrame.h"
#include "console/SignalWatcher.h"
#include "console/Screenshot.h"
#include "platform/Paths.h"

namespace {

const std::vector<OptionRule> kOptions = {{"--help"}, {"--version"}, {"--data-folder", true}};
constexpr const char* kUsageLine =
    "Usage: kestova [--data-folder DIR] [Qt options] [DOCUMENT]\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kestova: %s\n", message.c_str());
    std::fputs(kUsageLine, stderr);
    return 2;
}

void PrintHelp() {
    std::fputs(kUsageLine, stdout);
    std::fputs(
        "\n"
        "The operator console of the radio data collector: serial scope, echo test,\n"
        "port selection and caller listing. DOCUMENT opens that document file.\n"
        "\n"
        "  --data-folder DIR  keep every file in DIR (else KESTOVA_HOME, else the\n"
        "                     program's folder; an installed program uses\n"
        "                     $XDG_DATA_HOME/kestova, by default ~/.local/share/kestova)\n"
        "  --help             show this text\n"
        "  --version          show the version\n"
        "\n"
        "Qt's own options (-platform, -style, ...) are taken as Qt documents them.\n",
        stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    // --help and --version need no display: they are looked at before Qt
    // starts, with Qt's own options let through.
    const ParsedCommandLine first =
        ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), kOptions, true);
    if (!first.error.empty()) return UsageError(first.error);
    if (first.Has("--help")) {
        PrintHelp();
        return 0;
    }
    if (first.Has("--version")) {
        std::printf("kestova %s\n", KestovaVersion());
        return 0;
    }

    QApplication qapp(argc, argv);
    QApplication::setApplicationDisplayName(QString());
    QGuiApplication::setDesktopFileName(QStringLiteral("Kestova.AppID.NoVersion"));

    // What Qt left of the command line: our options and the document file.
    std::vector<std::string> rest;
    for (const QString& argument : QApplication::arguments().mid(1))
        rest.push_back(argument.toLocal8Bit().toStdString());
    const ParsedCommandLine args = ParseCommandLine(rest, kOptions);
    if (!args.error.empty()) return UsageError(args.error);
    if (args.Has("--data-folder") && args.Value("--data-folder").empty())
        return UsageError("--data-folder needs a folder");
    DataFolderChoice choice;
    choice.commandLineFolder = args.Value("--data-folder");
    choice.installed = InstalledDataFolder::User;
    std::string origin;
    ConsoleOptions options;
    options.dataFolder = ProgramDataFolder(choice, &origin);
    std::fprintf(stderr, "kestova: data folder %s (%s)\n", options.dataFolder.c_str(), origin.c_str());

    CKestovaApp app(std::move(options));
    SignalWatcher signalWatcher;
    QObject::connect(&signalWatcher, &SignalWatcher::Received, &app, [&app](int) { app.RequestQuit(); });

    QStringList documents;
    for (const std::string& operand : args.operands) documents << QString::fromLocal8Bit(operand.c_str());
    if (!app.InitInstance(documents)) {
        app.ExitInstance(1);
        return 1;
    }
    ScheduleScreenshotFromEnvironment(app.MainFrame());

    const int code = app.ExitInstance(qapp.exec());
    if (app.WorkerAbandoned()) {
        // The worker is still inside a wait of its own: end here, before the
        // destructors take its port and values away.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
