#include "cli_support.h"
#include "commands.h"

#include "version/version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

#include <array>
#include <cstdio>

namespace {

// The commands live in loadable modules, so that each command loads only the
// libraries it uses: the record readers start in a few milliseconds, while
// the others bring capture, film decoding, the network and the GUI toolkit's
// image code with them. Only one module is ever loaded in a process.
enum class Module { Inspect, Match, Author, Analyse, Commands };

struct Command {
    const char* name;
    const char* summary;
    Module module;
};

constexpr std::array kCommands {
    Command { "analyse", "Turn images into light-show frames: live colour messages and a record", Module::Analyse },
    Command { "inspect", "Summarise and check a recorded light show (.pb)", Module::Inspect },
    Command { "make-frames", "Write a short sequence of sample frames (PNG) to try the other commands on",
        Module::Commands },
    Command { "match", "Find where a clip of sound sits in a recording's soundtrack", Module::Match },
    Command { "receive", "Be a light receiver: announce it on the local network and show the colours it gets",
        Module::Commands },
    Command { "discover", "List the light receivers found on the local network", Module::Commands },
    Command { "login", "Sign in to the light-show service (shared with the studio)", Module::Commands },
    Command { "whoami", "Show the signed-in account", Module::Commands },
    Command { "logout", "Sign out and end the access token on the service", Module::Commands },
    Command { "search", "Search the movie and TV catalogue; list a show's seasons and episodes", Module::Commands },
    Command { "upload", "Upload a light show for a movie or a TV episode", Module::Commands },
    Command { "shows", "List your light shows on the service", Module::Commands },
    Command { "delete", "Delete light shows of yours from the service", Module::Commands },
    Command { "outbox", "List or retry recordings that have not reached the service", Module::Commands },
    Command { "record", "Record a display or a window with its sound into a light show (.pb)", Module::Commands },
    Command { "author", "Make a light show (.pb) from a video file, faster than real time", Module::Author },
};

/// In the layout of the commands' own help, from which the manual pages and
/// shell completions are made. On standard error when it answers a command
/// line without a command.
void printUsage(bool asError = false)
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
    if (asError)
        std::fprintf(stderr, "%s\n", qUtf8Printable(text));
    else
        corvex::cli::printOut(text);
}

// Runs `name` from its module: beside the program in a build folder, in the
// private library folder when installed.
int runFromModule(Module module, const QString& name, const QStringList& arguments)
{
    const QString file = QLatin1StringView(module == Module::Inspect ? "corvex-inspect.so"
            : module == Module::Match                                 ? "corvex-match.so"
            : module == Module::Author                                ? "corvex-author.so"
            : module == Module::Analyse                               ? "corvex-analyse.so"
                                                                      : "corvex-commands.so");
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QStringList candidates { programDir.filePath(file),
        QDir::cleanPath(programDir.filePath(QStringLiteral(CORVEX_MODULE_DIR) + QLatin1Char('/') + file)) };
    QString problems;
    for (const QString& candidate : candidates) {
        if (!QFileInfo::exists(candidate))
            continue;
        void* handle = ::dlopen(QFile::encodeName(candidate).constData(), RTLD_LAZY | RTLD_LOCAL);
        if (handle == nullptr) {
            problems += QStringLiteral("; %1").arg(QString::fromLocal8Bit(::dlerror()));
            continue;
        }
        // Never unloaded: Qt and the libraries it brought keep state for the process's life.
        auto* run = reinterpret_cast<corvex::cli::ModuleEntry>(::dlsym(handle, corvex::cli::kModuleEntry));
        if (run == nullptr) {
            problems += QStringLiteral("; %1 has no entry point").arg(candidate);
            continue;
        }
        return run(name, arguments);
    }
    corvex::cli::printError(QStringLiteral("the command '%1' could not be loaded: %2 is missing or broken (looked in "
                                           "%3)%4; reinstall Corvex Studio")
                                .arg(name, file, candidates.join(QLatin1StringView(" and ")), problems));
    return corvex::cli::Failure;
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
        printUsage(true);
        return corvex::cli::Usage;
    }
    const QString name = arguments.at(1);
    // How the desktop delivers the sign-in's answer: hand it to the waiting sign-in.
    if (name.startsWith(QLatin1StringView("corvexapp:"), Qt::CaseInsensitive) && arguments.size() == 2)
        return runFromModule(Module::Commands, QString::fromLatin1(corvex::cli::kHandOver), arguments.mid(1));
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
            return runFromModule(command.module, name, arguments);
        }
    }
    corvex::cli::printError(QStringLiteral("unknown command '%1'; run 'corvex --help' for the list").arg(name));
    return corvex::cli::Usage;
}
