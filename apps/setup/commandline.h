#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// The tool's command line: one command, its arguments and options. Each command has a help
// text of its own ("COMMAND --help"), and the tool's help lists the commands; both name the
// exit codes.
class CommandLine
{
public:
    enum class Result {
        Run,
        ShowHelp,
        BadUsage,
    };

    Result parse(const QStringList &arguments);

    [[nodiscard]] QString helpText() const;
    [[nodiscard]] QString errorText() const;
    [[nodiscard]] QString command() const;
    [[nodiscard]] QStringList commandArguments() const;
    [[nodiscard]] bool isSet(const QString &option) const;
    [[nodiscard]] QString value(const QString &option) const;

private:
    struct CommandInfo {
        QString name;
        QString description;
        // The positional arguments after the command: their name, syntax and meaning.
        QString argumentName;
        QString syntax;
        QString argumentDescription;
        QStringList options;
        int minimumArguments = 0;
        // -1: any number.
        int maximumArguments = 0;
        QStringList allowedArguments;
    };

    [[nodiscard]] static QList<CommandInfo> commands();
    [[nodiscard]] static QString commandsText();
    [[nodiscard]] static QString exitCodesText();
    [[nodiscard]] static QList<QCommandLineOption> commandOptions(const QStringList &names);
    Result parseCommand(const CommandInfo &info, const QStringList &arguments);
    Result checkArguments(const CommandInfo &info);
    Result badUsage(const QString &error);

    QCommandLineParser mParser;
    QString mCommand;
    QStringList mCommandArguments;
    QString mHelpText;
    QString mErrorText;
};
