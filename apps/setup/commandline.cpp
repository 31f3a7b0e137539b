#include "commandline.h"
#include "command.h"

using namespace Qt::Literals::StringLiterals;

namespace
{
QCommandLineOption verboseOption()
{
    return QCommandLineOption(u"verbose"_s, u"Show the diagnostic messages of the setup libraries."_s);
}
} // namespace

CommandLine::Result CommandLine::parse(const QStringList &arguments)
{
    // A first pass finds the command; the options of the commands are not known to it, so
    // its errors count only when there is no command.
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Sets up local dictation (whisper) and read-aloud (kokoro): checks and installs their python "
                                     "environments, downloads whisper models and kokoro voices."_s);
    const QCommandLineOption helpOption = parser.addHelpOption();
    parser.addOption(verboseOption());
    parser.addPositionalArgument(u"command"_s, u"What to do: one of the commands below."_s, u"command [arguments]"_s);
    const bool parsed = parser.parse(arguments);
    mCommand = parser.positionalArguments().value(0);

    if (mCommand.isEmpty()) {
        if (parser.isSet(helpOption)) {
            mHelpText = parser.helpText() + commandsText() + exitCodesText();
            return Result::ShowHelp;
        }
        return badUsage(parsed ? u"No command given."_s : parser.errorText());
    }

    const QList<CommandInfo> infos = commands();
    for (const CommandInfo &info : infos) {
        if (info.name == mCommand)
            return parseCommand(info, arguments);
    }
    return badUsage(u"Unknown command: %1"_s.arg(mCommand));
}

QString CommandLine::helpText() const
{
    return mHelpText;
}

QString CommandLine::errorText() const
{
    return mErrorText;
}

QString CommandLine::command() const
{
    return mCommand;
}

QStringList CommandLine::commandArguments() const
{
    return mCommandArguments;
}

bool CommandLine::isSet(const QString &option) const
{
    return mParser.isSet(option);
}

QString CommandLine::value(const QString &option) const
{
    return mParser.value(option);
}

QList<CommandLine::CommandInfo> CommandLine::commands()
{
    const QStringList features{u"whisper"_s, u"kokoro"_s};

    CommandInfo check;
    check.name = u"check"_s;
    check.description = u"Checks whether dictation (whisper) and read-aloud (kokoro) are usable, or only the feature named, and says "
                        "how to fix what is missing."_s;
    check.argumentName = u"feature"_s;
    check.syntax = u"[whisper|kokoro]"_s;
    check.argumentDescription = u"The feature to check; both when none is named."_s;
    check.maximumArguments = 1;
    check.allowedArguments = features;

    CommandInfo install;
    install.name = u"install"_s;
    install.description = u"Creates the feature's python virtual environment when there is none, then installs with pip the python "
                          "modules it lacks, printing pip's output as it comes."_s;
    install.argumentName = u"feature"_s;
    install.syntax = u"whisper|kokoro"_s;
    install.argumentDescription = u"The feature to install."_s;
    install.options = {u"recreate"_s};
    install.minimumArguments = 1;
    install.maximumArguments = 1;
    install.allowedArguments = features;

    CommandInfo models;
    models.name = u"models"_s;
    models.description = u"Lists the whisper models with their sizes, and which are the default, downloaded and chosen for dictation."_s;

    CommandInfo downloadModel;
    downloadModel.name = u"download-model"_s;
    downloadModel.description = u"Downloads a whisper model, by default the one chosen for dictation, so that the first dictation does "
                                "not wait for it."_s;
    downloadModel.argumentName = u"ID"_s;
    downloadModel.syntax = u"[ID]"_s;
    downloadModel.argumentDescription = u"The model, as the models command lists it."_s;
    downloadModel.options = {u"select"_s};
    downloadModel.maximumArguments = 1;

    CommandInfo voices;
    voices.name = u"voices"_s;
    voices.description = u"Lists the kokoro voices."_s;

    CommandInfo downloadVoices;
    downloadVoices.name = u"download-voices"_s;
    downloadVoices.description = u"Downloads kokoro voices, and the kokoro model with them."_s;
    downloadVoices.argumentName = u"ID"_s;
    downloadVoices.syntax = u"ID...|--all"_s;
    downloadVoices.argumentDescription = u"The voices, as the voices command lists them."_s;
    downloadVoices.options = {u"all"_s};
    downloadVoices.maximumArguments = -1;

    CommandInfo test;
    test.name = u"test"_s;
    test.description = u"Proves that the feature works on this machine: loads the whisper model chosen for dictation (or the "
                       "kokoro voice chosen for read-aloud), times real work with it and says in one line whether it is fast "
                       "enough. Nothing is downloaded: a missing model or voice is named."_s;
    test.argumentName = u"feature"_s;
    test.syntax = u"whisper|kokoro"_s;
    test.argumentDescription = u"The feature to test."_s;
    test.options = {u"model"_s, u"voice"_s};
    test.minimumArguments = 1;
    test.maximumArguments = 1;
    test.allowedArguments = features;

    return {check, install, models, downloadModel, voices, downloadVoices, test};
}

QString CommandLine::commandsText()
{
    QString text = u"\nCommands:\n"_s;
    const QList<CommandInfo> infos = commands();
    for (const CommandInfo &info : infos)
        text += u"  %1\n      %2\n"_s.arg(QString(info.name + u' ' + info.syntax).trimmed(), info.description);
    return text + u"\nRun \"%1 COMMAND --help\" for the options of a command.\n"_s.arg(Command::programName());
}

QString CommandLine::exitCodesText()
{
    return u"\nExit codes:\n"
           "  0  success\n"
           "  1  bad usage\n"
           "  2  not installed: a python environment, python module, helper script or system program is missing\n"
           "  3  a job failed\n"_s;
}

QList<QCommandLineOption> CommandLine::commandOptions(const QStringList &names)
{
    QList<QCommandLineOption> result;
    for (const QString &name : names) {
        if (name == u"recreate"_s)
            result.append({name, u"Delete the virtual environment and create it anew, even when it exists."_s});
        else if (name == u"select"_s)
            result.append({name, u"Also make the model the one used for dictation once it is downloaded."_s});
        else if (name == u"all"_s)
            result.append({name, u"Download every voice of the catalogue."_s});
        else if (name == u"model"_s)
            result.append({name, u"whisper: test this model instead of the one chosen for dictation."_s, u"ID"_s});
        else if (name == u"voice"_s)
            result.append({name, u"kokoro: test this voice instead of the one chosen for read-aloud."_s, u"ID"_s});
    }
    return result;
}

CommandLine::Result CommandLine::parseCommand(const CommandInfo &info, const QStringList &arguments)
{
    mParser.setApplicationDescription(info.description);
    const QCommandLineOption helpOption = mParser.addHelpOption();
    mParser.addOption(verboseOption());
    mParser.addOptions(commandOptions(info.options));
    // The command goes into the usage line with its arguments, not into the list of
    // arguments, where a long command name would be cut in two.
    if (info.argumentName.isEmpty())
        mParser.addPositionalArgument(info.name, u"The command."_s, info.name);
    else
        mParser.addPositionalArgument(info.argumentName, info.argumentDescription, info.name + u' ' + info.syntax);
    if (!mParser.parse(arguments))
        return badUsage(mParser.errorText());
    if (mParser.isSet(helpOption)) {
        mHelpText = mParser.helpText() + exitCodesText();
        return Result::ShowHelp;
    }
    mCommandArguments = mParser.positionalArguments().mid(1);
    return checkArguments(info);
}

CommandLine::Result CommandLine::checkArguments(const CommandInfo &info)
{
    const qsizetype count = mCommandArguments.size();
    if (count < info.minimumArguments)
        return badUsage(u"%1: an argument is missing: %2"_s.arg(info.name, info.syntax));
    if (info.maximumArguments >= 0 && count > info.maximumArguments)
        return badUsage(u"%1: too many arguments: %2"_s.arg(info.name, mCommandArguments.join(u' ')));
    for (const QString &argument : std::as_const(mCommandArguments)) {
        if (!info.allowedArguments.isEmpty() && !info.allowedArguments.contains(argument))
            return badUsage(u"%1: unknown argument %2, expected %3"_s.arg(info.name, argument, info.syntax));
    }
    // Each feature has its own choice to test.
    if (info.options.contains(u"model"_s) && mParser.isSet(u"model"_s) && mCommandArguments.value(0) != u"whisper"_s)
        return badUsage(u"%1: --model is for whisper"_s.arg(info.name));
    if (info.options.contains(u"voice"_s) && mParser.isSet(u"voice"_s) && mCommandArguments.value(0) != u"kokoro"_s)
        return badUsage(u"%1: --voice is for kokoro"_s.arg(info.name));
    // Voices are named or all of them are meant, never both and never neither.
    if (info.options.contains(u"all"_s) && (count > 0) == mParser.isSet(u"all"_s))
        return badUsage(u"%1: name the voices or give --all"_s.arg(info.name));
    return Result::Run;
}

CommandLine::Result CommandLine::badUsage(const QString &error)
{
    mErrorText = error;
    return Result::BadUsage;
}
