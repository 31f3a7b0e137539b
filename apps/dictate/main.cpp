// earlobe-dictate: turns a recorded WAV file into text with the local whisper dictation.
#include "dictation.h"
#include "standardstreams.h"

#include <sharedsettings.h>
#include <wavstreamreader.h>
#include <whisperspeechtotextutils.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cmath>
#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr double DefaultTimeoutSeconds = 120;
const QString StandardInput = u"-"_s;

// The application name names the settings file the hosts share, not this program.
QString programName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

void printError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(programName()), qUtf8Printable(message));
}

int usageError(const QString &message)
{
    printError(message);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", qUtf8Printable(programName()));
    return Dictation::BadUsage;
}

QString description()
{
    return u"Dictates a recorded 16-bit PCM WAV file with the local whisper model: partial text on\n"
           "standard error while the audio goes in, the final text on standard output.\n"
           "\n"
           "Exit codes:\n"
           "  0  the text was recognised (it may be empty)\n"
           "  1  bad usage, or the audio cannot be read\n"
           "  2  dictation is not installed (no environment, no helper, missing python packages)\n"
           "  3  the helper failed (crash, error reply, timeout), or the text could not be written\n"
           "     to standard output"_s;
}

std::optional<int> parseTimeout(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 24 * 3600)
        return std::nullopt;
    return int(std::lround(seconds * 1000));
}

// Opens the WAV file, or standard input for "-", and reads its header. Prints why not when
// it cannot.
bool openAudio(const QString &path, QFile &file, WavStreamReader &reader)
{
    const bool fromInput = path == StandardInput;
    const QString name = fromInput ? u"standard input"_s : path;
    if (fromInput) {
        if (StandardStreams::inputClosed()) {
            usageError(u"No WAV file to read: standard input is closed."_s);
            return false;
        }
        if (isatty(STDIN_FILENO) == 1) {
            usageError(u"No WAV file given, and standard input is a terminal."_s);
            return false;
        }
        file.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
    } else {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            printError(u"Cannot open %1: %2"_s.arg(path, file.errorString()));
            return false;
        }
    }
    if (!reader.readHeader()) {
        printError(u"%1: %2"_s.arg(name, reader.errorString()));
        return false;
    }
    if (reader.atEnd()) {
        printError(reader.hasError() ? u"%1: %2"_s.arg(name, reader.errorString()) : u"%1 holds no audio."_s.arg(name));
        return false;
    }
    return true;
}

// Help and version go to standard output, checked like the text.
int printInformation(const QString &text)
{
    QString error;
    if (StandardStreams::write(text.toUtf8(), &error))
        return Dictation::Success;
    printError(u"Cannot write to standard output: %1."_s.arg(error));
    return Dictation::OutputFailed;
}
} // namespace

int main(int argc, char **argv)
{
    StandardStreams::hold();
    QCoreApplication app(argc, argv);
    useSharedSettings();
    // Every failure is told on standard error in the tool's own words; the libraries' own
    // diagnostics stay available through QT_LOGGING_RULES, which wins over this.
    QLoggingCategory::setFilterRules(u"org.earlobelarynx.*.warning=false"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument(u"file"_s, u"16-bit PCM WAV file; \"-\" or none reads standard input."_s, u"[file]"_s);
    const QCommandLineOption modelOption(u"model"_s, u"Whisper model for this run (default: the chosen model)."_s, u"id"_s);
    const QCommandLineOption languageOption(u"language"_s, u"Language of the speech, e.g. \"en\" (default: the stored setting)."_s,
                                            u"code"_s);
    const QCommandLineOption noPartialsOption(u"no-partials"_s, u"Do not ask for partial text."_s);
    const QCommandLineOption realtimeOption(u"realtime"_s, u"Send the audio at the pace it was recorded, as a microphone would."_s);
    const QCommandLineOption timeoutOption(
        u"timeout"_s, u"Seconds to wait for the environment check and for the final text (default %1)."_s.arg(DefaultTimeoutSeconds),
        u"seconds"_s, QString::number(DefaultTimeoutSeconds));
    parser.addOptions({modelOption, languageOption, noPartialsOption, realtimeOption, timeoutOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        return printInformation(parser.helpText());
    if (parser.isSet(versionOption))
        return printInformation(u"%1 %2\n"_s.arg(programName(), QStringLiteral(TOOL_VERSION)));

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return usageError(u"Only one file can be dictated at a time."_s);
    const std::optional<int> timeoutMs = parseTimeout(parser.value(timeoutOption));
    if (!timeoutMs)
        return usageError(u"--timeout takes a number of seconds above 0, not \"%1\"."_s.arg(parser.value(timeoutOption)));

    const QString path = files.value(0, StandardInput);
    QFile file;
    WavStreamReader audio(&file);
    if (!openAudio(path, file, audio))
        return Dictation::BadUsage;

    Dictation::Settings settings;
    settings.model = parser.isSet(modelOption) ? parser.value(modelOption) : WhisperSpeechToTextUtils::loadModel();
    settings.language = parser.isSet(languageOption) ? parser.value(languageOption) : WhisperSpeechToTextUtils::loadLanguage();
    settings.computeType = WhisperSpeechToTextUtils::loadComputeType();
    settings.device = WhisperSpeechToTextUtils::loadDevice();
    settings.partials = !parser.isSet(noPartialsOption);
    settings.realtime = parser.isSet(realtimeOption);
    settings.timeoutMs = *timeoutMs;

    Dictation dictation(&audio, path == StandardInput ? u"standard input"_s : path, settings);
    // Queued: the dictation may end inside start(), before the event loop runs.
    QObject::connect(&dictation, &Dictation::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    dictation.start();
    return app.exec();
}
