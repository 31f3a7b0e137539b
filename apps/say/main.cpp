// larynx-say: reads text aloud with the local kokoro voices, or saves the speech as WAV;
// either way it can write WebVTT subtitles timed to the speech.
#include "readaloud.h"

#include <outputtarget.h>

#include <texttospeechkokoroutils.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
constexpr double DefaultTimeoutSeconds = 120;

void printError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(QCoreApplication::applicationName()), qUtf8Printable(message));
}

int usageError(const QString &message)
{
    printError(message);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", qUtf8Printable(QCoreApplication::applicationName()));
    return ReadAloud::BadUsage;
}

QString description()
{
    return u"Reads text aloud on the default audio output with the local kokoro voices, or writes\n"
           "the speech to a WAV file. The text is the arguments joined by blanks, or else\n"
           "standard input. With --subtitles it also writes WebVTT subtitles: one cue per\n"
           "sentence and, where the voice times its words, a timestamp before each word.\n"
           "\n"
           "Exit codes:\n"
           "  0  the text was spoken or written\n"
           "  1  bad usage, no text, or an output file that cannot be written\n"
           "  2  read-aloud is not installed (no environment, no helper, missing python packages)\n"
           "  3  the helper, the audio or a write failed (crash, error reply, no audio device,\n"
           "     timeout, a full disk, a reader that went away)"_s;
}

std::optional<int> parseTimeout(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 24 * 3600)
        return std::nullopt;
    return int(std::lround(seconds * 1000));
}

// Standard output is where the result goes: losing any of it is a failure.
int flushStandardOutput()
{
    QString error;
    if (OutputTarget::flushStandardOutput(&error))
        return ReadAloud::Success;
    printError(error);
    return ReadAloud::HelperFailed;
}

// A number from the command line within [minimum, maximum].
std::optional<double> parseNumber(const QString &text, double minimum, double maximum)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= minimum && value <= maximum))
        return std::nullopt;
    return value;
}

QString languageLabel(const QLocale &locale)
{
    return u"%1 (%2)"_s.arg(QLocale::languageToString(locale.language()), QLocale::territoryToString(locale.territory()));
}

QString genderLabel(TextToSpeechKokoroUtils::Gender gender)
{
    switch (gender) {
    case TextToSpeechKokoroUtils::Male:
        return u"male"_s;
    case TextToSpeechKokoroUtils::Female:
        return u"female"_s;
    case TextToSpeechKokoroUtils::Unknown:
        break;
    }
    return u"unknown"_s;
}

// One line per voice, the languages apart by a blank line.
void listVoices()
{
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::All);
    qsizetype identifierWidth = 0;
    qsizetype nameWidth = 0;
    qsizetype languageWidth = 0;
    for (const auto &voice : voices) {
        identifierWidth = std::max(identifierWidth, voice.identifier.size());
        nameWidth = std::max(nameWidth, voice.name.size());
        languageWidth = std::max(languageWidth, languageLabel(voice.locale).size() + voice.locale.name().size() + 1);
    }
    for (qsizetype i = 0; i < voices.size(); ++i) {
        const TextToSpeechKokoroUtils::KokoroVoice &voice = voices.at(i);
        if (i > 0 && voice.locale != voices.at(i - 1).locale)
            std::printf("\n");
        const QString language = voice.locale.name() + u' ' + languageLabel(voice.locale);
        std::printf("%s  %s  %s  %s\n", qUtf8Printable(voice.identifier.leftJustified(identifierWidth)),
                    qUtf8Printable(voice.name.leftJustified(nameWidth)), qUtf8Printable(language.leftJustified(languageWidth)),
                    qUtf8Printable(genderLabel(voice.gender)));
    }
}

bool isKnownVoice(const QString &identifier)
{
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::All);
    return std::any_of(voices.cbegin(), voices.cend(), [&identifier](const auto &voice) {
        return voice.identifier == identifier;
    });
}

// Why nothing can be written where option says, found before any work is done; empty if it can.
QString outputProblem(const QString &option, const QString &path)
{
    if (path.isEmpty())
        return u"--%1 takes a file name, or - for standard output."_s.arg(option);
    return OutputTarget(path).problem();
}

// An empty name is a slip in the command line; anything else names a place that cannot be written.
int refuseOutput(const QString &path, const QString &problem)
{
    if (path.isEmpty())
        return usageError(problem);
    printError(problem);
    return ReadAloud::BadUsage;
}

bool isSameTarget(const QString &path, const QString &otherPath)
{
    const OutputTarget target(path);
    const OutputTarget other(otherPath);
    if (target.isStandardOutput() || other.isStandardOutput())
        return target.isStandardOutput() && other.isStandardOutput();
    return QFileInfo(path).absoluteFilePath() == QFileInfo(otherPath).absoluteFilePath();
}

QString readStandardInput()
{
    if (isatty(STDIN_FILENO) == 1)
        std::fprintf(stderr, "Type the text to read, and end it with Ctrl-D.\n");
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(input.readAll());
}
} // namespace

int main(int argc, char **argv)
{
    OutputTarget::prepareProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"larynx-say"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(TOOL_VERSION));
    // Every failure is told on standard error in the tool's own words; the libraries' own
    // diagnostics stay available through QT_LOGGING_RULES, which wins over this.
    QLoggingCategory::setFilterRules(u"org.earlobelarynx.*.warning=false"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument(u"text"_s, u"The text to read (default: standard input)."_s, u"[text...]"_s);
    const QCommandLineOption outputOption({u"o"_s, u"output"_s},
                                          u"Write the speech to this WAV file instead of playing it; - is standard output. An "
                                          "existing FIFO or character device is written into, a file replaced once complete."_s,
                                          u"file.wav"_s);
    const QCommandLineOption subtitlesOption(u"subtitles"_s,
                                             u"Also write the sentences and words, timed as they are spoken, to this WebVTT file "
                                             "(with --output, or while playing); - is standard output."_s,
                                             u"file.vtt"_s);
    const QCommandLineOption voiceOption(u"voice"_s, u"The voice, e.g. af_heart (see --list-voices)."_s, u"id"_s);
    const QCommandLineOption rateOption(u"rate"_s, u"Speaking rate from -1 (slow) to 1 (fast); 0 is normal."_s, u"rate"_s);
    const QCommandLineOption volumeOption(u"volume"_s, u"Playback volume from 0 to 1 (default 1); a saved file is not changed."_s,
                                          u"volume"_s);
    const QCommandLineOption timeoutOption(
        u"timeout"_s, u"Give up when the helper has not been heard from for this many seconds (default %1)."_s.arg(DefaultTimeoutSeconds),
        u"seconds"_s, QString::number(DefaultTimeoutSeconds));
    const QCommandLineOption listVoicesOption(u"list-voices"_s, u"List the voices, grouped by language, and exit."_s);
    parser.addOptions({outputOption, subtitlesOption, voiceOption, rateOption, volumeOption, timeoutOption, listVoicesOption});
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::printf("%s", qUtf8Printable(parser.helpText()));
        return flushStandardOutput();
    }
    if (parser.isSet(versionOption)) {
        std::printf("%s %s\n", qUtf8Printable(QCoreApplication::applicationName()), TOOL_VERSION);
        return flushStandardOutput();
    }
    if (parser.isSet(listVoicesOption)) {
        listVoices();
        return flushStandardOutput();
    }

    ReadAloud::Settings settings;
    if (parser.isSet(voiceOption)) {
        settings.voice = parser.value(voiceOption);
        if (!isKnownVoice(settings.voice))
            return usageError(u"Unknown voice \"%1\". See --list-voices for the voices there are."_s.arg(settings.voice));
    }
    if (parser.isSet(rateOption)) {
        const std::optional<double> rate = parseNumber(parser.value(rateOption), -1.0, 1.0);
        if (!rate)
            return usageError(u"--rate takes a number from -1 to 1, not \"%1\"."_s.arg(parser.value(rateOption)));
        settings.rate = *rate;
    }
    if (parser.isSet(volumeOption)) {
        const std::optional<double> volume = parseNumber(parser.value(volumeOption), 0.0, 1.0);
        if (!volume)
            return usageError(u"--volume takes a number from 0 to 1, not \"%1\"."_s.arg(parser.value(volumeOption)));
        settings.volume = *volume;
    }
    const std::optional<int> timeoutMs = parseTimeout(parser.value(timeoutOption));
    if (!timeoutMs)
        return usageError(u"--timeout takes a number of seconds above 0, not \"%1\"."_s.arg(parser.value(timeoutOption)));
    settings.timeoutMs = *timeoutMs;
    if (parser.isSet(outputOption)) {
        settings.outputPath = parser.value(outputOption);
        const QString problem = outputProblem(u"output"_s, settings.outputPath);
        if (!problem.isEmpty())
            return refuseOutput(settings.outputPath, problem);
    }
    if (parser.isSet(subtitlesOption)) {
        settings.subtitlesPath = parser.value(subtitlesOption);
        const QString problem = outputProblem(u"subtitles"_s, settings.subtitlesPath);
        if (!problem.isEmpty())
            return refuseOutput(settings.subtitlesPath, problem);
        if (!settings.outputPath.isEmpty() && isSameTarget(settings.subtitlesPath, settings.outputPath))
            return usageError(u"--subtitles and --output name the same file, %1."_s.arg(OutputTarget(settings.outputPath).name()));
    }

    const QStringList words = parser.positionalArguments();
    const QString text = words.isEmpty() ? readStandardInput() : words.join(u' ');
    if (text.trimmed().isEmpty())
        return usageError(u"Nothing to read: the text is empty."_s);

    ReadAloud readAloud(text, settings);
    // Queued: reading may fail inside start(), before the event loop runs.
    QObject::connect(&readAloud, &ReadAloud::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    readAloud.start();
    return app.exec();
}
