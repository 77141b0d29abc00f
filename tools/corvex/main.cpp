#include "cli_support.h"
#include "commands.h"

#include <QCoreApplication>

#include <array>

namespace {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const QStringList&);
};

constexpr std::array kCommands {
    Command {
        "analyse", "Turn images into light-show frames: live colour messages and a record", corvex::cli::runAnalyse },
    Command { "inspect", "Summarise and check a recorded light show (.pb)", corvex::cli::runInspect },
    Command { "make-frames", "Write a short sequence of sample frames (PNG) to try the other commands on",
        corvex::cli::runMakeFrames },
    Command { "match", "Find where a clip of sound sits in a recording's soundtrack", corvex::cli::runMatch },
    Command { "record", "Record a display or a window with its sound into a light show (.pb)", corvex::cli::runRecord },
};

void printUsage()
{
    QString text = QStringLiteral("Usage: corvex COMMAND [OPTIONS] [ARGUMENTS]\n\n"
                                  "Corvex Studio's command-line tool.\n\nCommands:\n");
    for (const Command& command : kCommands)
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1StringView(command.name), -12)
                    .arg(QLatin1StringView(command.summary));
    text += QStringLiteral("\nRun 'corvex COMMAND --help' for a command's options.");
    corvex::cli::printOut(text);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvex"));
    QCoreApplication::setOrganizationName(QStringLiteral("Corvex"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVEX_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        printUsage();
        return corvex::cli::Usage;
    }
    const QString name = arguments.at(1);
    if (name == QLatin1StringView("--help") || name == QLatin1StringView("-h") || name == QLatin1StringView("help")) {
        printUsage();
        return corvex::cli::Success;
    }
    if (name == QLatin1StringView("--version")) {
        corvex::cli::printOut(QStringLiteral("corvex %1").arg(QCoreApplication::applicationVersion()));
        return corvex::cli::Success;
    }
    for (const Command& command : kCommands) {
        if (name == QLatin1StringView(command.name)) {
            arguments.removeFirst();
            arguments.first() = QStringLiteral("corvex ") + name;
            return command.run(arguments);
        }
    }
    corvex::cli::printError(QStringLiteral("unknown command '%1'; run 'corvex --help' for the list").arg(name));
    return corvex::cli::Usage;
}
