#include "cli_support.h"
#include "commands.h"

#include "version/version.h"

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
    Command { "receive", "Be a light receiver: announce it on the local network and show the colours it gets",
        corvex::cli::runReceive },
    Command { "discover", "List the light receivers found on the local network", corvex::cli::runDiscover },
    Command { "login", "Sign in to the light-show service (shared with the studio)", corvex::cli::runLogin },
    Command { "whoami", "Show the signed-in account", corvex::cli::runWhoami },
    Command { "logout", "Sign out and end the access token on the service", corvex::cli::runLogout },
    Command {
        "search", "Search the movie and TV catalogue; list a show's seasons and episodes", corvex::cli::runSearch },
    Command { "upload", "Upload a light show for a movie or a TV episode", corvex::cli::runUpload },
    Command { "shows", "List your light shows on the service", corvex::cli::runShows },
    Command { "delete", "Delete light shows of yours from the service", corvex::cli::runDelete },
    Command { "outbox", "List or retry recordings that have not reached the service", corvex::cli::runOutbox },
    Command { "record", "Record a display or a window with its sound into a light show (.pb)", corvex::cli::runRecord },
    Command { "author", "Make a light show (.pb) from a video file, faster than real time", corvex::cli::runAuthor },
};

/// In the layout of the commands' own help, from which the manual pages and
/// shell completions are made.
void printUsage()
{
    QString text = QStringLiteral("Usage: corvex COMMAND [options] [arguments]\n"
                                  "Corvex Studio's command-line tool: record, author, check and upload light shows.\n"
                                  "Run 'corvex COMMAND --help' for a command's options and arguments.\n\n"
                                  "Commands:\n");
    for (const Command& command : kCommands)
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1StringView(command.name), -12)
                    .arg(QLatin1StringView(command.summary));
    text += QStringLiteral("\nOptions:\n"
                           "  -h, --help  Displays help on commandline options.\n"
                           "  --version   Displays version information.\n\n"
                           "Exit status:\n"
                           "  0  success\n"
                           "  1  bad input, or an output that could not be written\n"
                           "  2  bad command line");
    corvex::cli::printOut(text);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvex"));
    QCoreApplication::setOrganizationName(QStringLiteral("Corvex"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(corvex::buildVersion()));

    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        printUsage();
        return corvex::cli::Usage;
    }
    const QString name = arguments.at(1);
    // How the desktop delivers the sign-in's answer: hand it to the waiting sign-in.
    if (name.startsWith(QLatin1StringView("corvexapp:"), Qt::CaseInsensitive) && arguments.size() == 2)
        return corvex::cli::runHandOver(name);
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
