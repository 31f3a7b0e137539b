// earlobe-larynx-setup: checks and installs the python environments of dictation and
// read-aloud, downloads whisper models and kokoro voices, and tests that each feature works,
// with the same jobs as the install dialogs.
#include "checkcommand.h"
#include "commandline.h"
#include "console.h"
#include "downloadmodelcommand.h"
#include "downloadvoicescommand.h"
#include "feature.h"
#include "installcommand.h"
#include "interruption.h"
#include "modelscommand.h"
#include "sharedsettings.h"
#include "testcommand.h"
#include "voicescommand.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <memory>

#include <cstring>

using namespace Qt::Literals::StringLiterals;

namespace
{
QList<Feature> features(const QStringList &names)
{
    QList<Feature> result;
    for (const QString &name : names.isEmpty() ? Feature::names() : names) {
        if (const std::optional<Feature> feature = Feature::fromName(name))
            result.append(*feature);
    }
    return result;
}

std::unique_ptr<Command> createCommand(const CommandLine &commandLine)
{
    const QString name = commandLine.command();
    const QStringList arguments = commandLine.commandArguments();
    if (name == u"check"_s)
        return std::make_unique<CheckCommand>(features(arguments));
    if (name == u"install"_s)
        return std::make_unique<InstallCommand>(features(arguments).constFirst(), commandLine.isSet(u"recreate"_s));
    if (name == u"models"_s)
        return std::make_unique<ModelsCommand>();
    if (name == u"download-model"_s)
        return std::make_unique<DownloadModelCommand>(arguments.value(0), commandLine.isSet(u"select"_s));
    if (name == u"voices"_s)
        return std::make_unique<VoicesCommand>();
    if (name == u"test"_s) {
        const Feature feature = features(arguments).constFirst();
        const QString choice = commandLine.value(feature.kind() == Feature::Kind::Whisper ? u"model"_s : u"voice"_s);
        return std::make_unique<TestCommand>(feature, choice);
    }
    return std::make_unique<DownloadVoicesCommand>(arguments, commandLine.isSet(u"all"_s));
}

int finalExitCode(int exitCode)
{
    const QString failure = Console::outputFailure();
    if (failure.isEmpty())
        return exitCode;
    Console::error(u"%1: cannot write to standard output: %2"_s.arg(Command::programName(), failure));
    return exitCode > 128 ? exitCode : int(Command::JobFailed);
}
} // namespace

int main(int argc, char **argv)
{
    Console::open();
    QCoreApplication app(argc, argv);
    useSharedSettings();

    CommandLine commandLine;
    switch (commandLine.parse(QCoreApplication::arguments())) {
    case CommandLine::Result::ShowHelp:
        Console::out(commandLine.helpText().trimmed());
        return finalExitCode(Command::Success);
    case CommandLine::Result::BadUsage:
        Console::error(u"%1: %2"_s.arg(Command::programName(), commandLine.errorText()));
        Console::error(u"Run \"%1 --help\" for the commands, or \"%1 COMMAND --help\" for one of them."_s.arg(Command::programName()));
        return Command::BadUsage;
    case CommandLine::Result::Run:
        break;
    }

    // The libraries' warnings repeat, in a developer's words, what the tool already says;
    // --verbose shows them, debug messages included.
    QLoggingCategory::setFilterRules(commandLine.isSet(u"verbose"_s) ? u"org.earlobelarynx.*=true"_s
                                                                     : u"org.earlobelarynx.*.warning=false"_s);

    std::unique_ptr<Command> command = createCommand(commandLine);
    QObject::connect(command.get(), &Command::finished, &app, [](int exitCode) {
        // A signal to the whole process group also ends pip, whose failure may come through
        // before the signal does: the signal decides how the tool ends.
        if (Interruption::signalReceived())
            return;
        QCoreApplication::exit(exitCode);
    });
    const Interruption interruption;
    QObject::connect(&interruption, &Interruption::interrupted, &app, [&command](int signal) {
        command->abandon();
        Console::error(u"%1: stopped by SIG%2."_s.arg(Command::programName(), QString::fromLatin1(::sigabbrev_np(signal))));
    });
    QObject::connect(&interruption, &Interruption::readyToEnd, &app, [&command](int exitCode) {
        // The jobs kill and reap what did not end on its own.
        command.reset();
        QCoreApplication::exit(exitCode);
    });
    QTimer::singleShot(0, command.get(), &Command::start);
    const int exitCode = QCoreApplication::exec();
    command.reset();
    return finalExitCode(exitCode);
}
