#include "fakehelperenvironment.h"

#include <pcmconverter.h>
#include <sharedsettings.h>
#include <wavfile.h>
#include <whisperspeechtotextutils.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int RunTimeoutMs = 30000;

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// What the counting helper answered for the utterance: "<n> bytes, sha256 <hex>, <ms> ms".
struct HeardAudio {
    qsizetype bytes = -1;
    QByteArray sha256;
    int spanMs = -1;
};

HeardAudio parseFinal(const QByteArray &line)
{
    static const QRegularExpression pattern(u"^(\\d+) bytes, sha256 ([0-9a-f]{64}), (\\d+) ms\\n$"_s);
    const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toLongLong(), match.captured(2).toLatin1(), match.captured(3).toInt()};
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Two tones of their own per channel, so that a lost channel or a swapped one shows.
QByteArray tone(qint64 frames, int channels, int rate)
{
    QByteArray samples;
    samples.reserve(frames * channels * 2);
    for (qint64 frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            const double value = (8000 + 3000 * channel) * std::sin(2 * M_PI * (440 + 220 * channel) * double(frame) / rate);
            const auto sample = qint16(std::lround(value));
            samples.append(char(sample & 0xFF)).append(char((sample >> 8) & 0xFF));
        }
    }
    return samples;
}

QAudioFormat audioFormat(int rate, int channels, QAudioFormat::SampleFormat sampleFormat = QAudioFormat::Int16)
{
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleFormat(sampleFormat);
    return format;
}

QByteArray wavBytes(const QAudioFormat &format, const QByteArray &samples)
{
    return WavFile::header(format, samples.size()) + samples;
}
} // namespace

class tst_Dictate : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void audioReachesHelperConverted_data();
    void audioReachesHelperConverted();
    void standardInput_data();
    void standardInput();
    void partials_data();
    void partials();
    void settingsReachHelper_data();
    void settingsReachHelper();
    void notInstalled_data();
    void notInstalled();
    void helperFailures_data();
    void helperFailures();
    void badInput_data();
    void badInput();
    void pacing_data();
    void pacing();
    void helpListsExitCodes();

private:
    ToolRun run(const QStringList &arguments, const QByteArray &input = {}, const QStringList &environment = {}) const;
    QString writeFile(const QString &name, const QByteArray &content) const;
    // The command headers the helper received, in order.
    [[nodiscard]] QList<QJsonObject> commands() const;
    [[nodiscard]] QList<QJsonObject> commands(const QString &name) const;
    [[nodiscard]] QString logPath() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_Dictate::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/counting_whisper_helper.py"), u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
}

void tst_Dictate::cleanup()
{
    mEnvironment.reset();
}

ToolRun tst_Dictate::run(const QStringList &arguments, const QByteArray &input, const QStringList &environment) const
{
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(u"COUNTING_HELPER_LOG"_s, logPath());
    for (const QString &entry : environment)
        processEnvironment.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));

    QProcess process;
    process.setProcessEnvironment(processEnvironment);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(TOOL_PATH), arguments);
    if (!process.waitForStarted())
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(RunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    ToolRun result;
    result.elapsedMs = clock.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString tst_Dictate::writeFile(const QString &name, const QByteArray &content) const
{
    const QString path = mEnvironment->home() + u'/' + name;
    return FakeHelperEnvironment::writeFile(path, content) ? path : QString();
}

QList<QJsonObject> tst_Dictate::commands() const
{
    QList<QJsonObject> result;
    const QList<QByteArray> lines = FakeHelperEnvironment::readFile(logPath()).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            result.append(QJsonDocument::fromJson(line).object());
    }
    return result;
}

QList<QJsonObject> tst_Dictate::commands(const QString &name) const
{
    QList<QJsonObject> result;
    const QList<QJsonObject> all = commands();
    for (const QJsonObject &command : all) {
        if (command.value("cmd"_L1).toString() == name)
            result.append(command);
    }
    return result;
}

QString tst_Dictate::logPath() const
{
    return mEnvironment->home() + u"/commands.log"_s;
}

void tst_Dictate::audioReachesHelperConverted_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<int>("helperRate");
    QTest::addColumn<int>("helperChannels");
    QTest::addColumn<qsizetype>("bytes");

    QTest::newRow("1 s at 44.1 kHz stereo") << 44100 << 2 << qint64(44100) << 16000 << 1 << qsizetype(32000);
    QTest::newRow("16 kHz mono as it is") << 16000 << 1 << qint64(8000) << 16000 << 1 << qsizetype(16000);
    QTest::newRow("8 kHz mono, raised") << 8000 << 1 << qint64(8000) << 16000 << 1 << qsizetype(32000);
    QTest::newRow("0.73 s at 48 kHz, not whole writes") << 48000 << 1 << qint64(35040) << 16000 << 1 << qsizetype(23360);
    QTest::newRow("helper wanting 24 kHz stereo") << 22050 << 2 << qint64(22050) << 24000 << 2 << qsizetype(96000);
}

void tst_Dictate::audioReachesHelperConverted()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(qint64, frames);
    QFETCH(int, helperRate);
    QFETCH(int, helperChannels);
    QFETCH(qsizetype, bytes);

    const QByteArray samples = tone(frames, channels, rate);
    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(rate, channels), samples));
    const QByteArray expected = PcmConverter::convert(samples, rate, channels, helperRate, helperChannels);
    QCOMPARE(expected.size(), bytes);

    const ToolRun result =
        run({path}, {},
            {u"COUNTING_HELPER_RATE="_s + QString::number(helperRate), u"COUNTING_HELPER_CHANNELS="_s + QString::number(helperChannels)});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const HeardAudio heard = parseFinal(result.out);
    QCOMPARE(heard.bytes, bytes);
    QCOMPARE(heard.sha256, sha256(expected));

    // Written as a microphone delivers it: 20 ms per write, only the last one shorter.
    const qsizetype writeBytes = helperRate / 50 * helperChannels * 2;
    const QList<QJsonObject> audio = commands(u"audio"_s);
    QCOMPARE(audio.size(), (bytes + writeBytes - 1) / writeBytes);
    for (qsizetype i = 0; i + 1 < audio.size(); ++i)
        QCOMPARE(audio.at(i).value("size"_L1).toInteger(), writeBytes);
    QCOMPARE(audio.constLast().value("size"_L1).toInteger(), bytes - (audio.size() - 1) * writeBytes);
    QCOMPARE(commands(u"start"_s).size(), 1);
    QCOMPARE(commands(u"stop"_s).size(), 1);
}

void tst_Dictate::standardInput_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no file") << QStringList();
    QTest::newRow("dash") << QStringList{u"-"_s};
}

void tst_Dictate::standardInput()
{
    QFETCH(QStringList, arguments);

    const QByteArray samples = tone(22050, 2, 44100);
    const ToolRun result = run(arguments, wavBytes(audioFormat(44100, 2), samples));
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const QByteArray expected = PcmConverter::convert(samples, 44100, 2, 16000, 1);
    const HeardAudio heard = parseFinal(result.out);
    QCOMPARE(heard.bytes, expected.size());
    QCOMPARE(heard.sha256, sha256(expected));
}

void tst_Dictate::partials_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("partials");

    QTest::newRow("partials") << QStringList() << true;
    QTest::newRow("no partials") << QStringList{u"--no-partials"_s} << false;
}

void tst_Dictate::partials()
{
    QFETCH(QStringList, options);
    QFETCH(bool, partials);

    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(16000, 1, 16000)));
    const ToolRun result = run(options + QStringList{path});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(parseFinal(result.out).bytes, 32000);
    QCOMPARE(commands(u"start"_s).value(0).value("partials"_L1), QJsonValue(partials));

    if (!partials) {
        QCOMPARE(result.err, QByteArray());
        return;
    }
    // Standard error is no terminal here: one partial per line, nothing but the text, and
    // never the final text. The helper answers at the first 20 ms write past each 8000 bytes.
    const QList<QByteArray> lines = result.err.split('\n');
    QCOMPARE(lines.constLast(), QByteArray());
    QCOMPARE(lines.size() - 1, 4);
    const int writeBytes = 640;
    for (int i = 0; i < 4; ++i) {
        const int heard = ((i + 1) * 8000 + writeBytes - 1) / writeBytes * writeBytes;
        QCOMPARE(lines.at(i), "heard " + QByteArray::number(heard) + " bytes");
    }
}

void tst_Dictate::settingsReachHelper_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QJsonObject>("expected");

    const QJsonObject stored{{u"model"_s, u"base"_s}, {u"language"_s, u"de"_s}, {u"computeType"_s, u"int8"_s}, {u"device"_s, u"cpu"_s}};
    QTest::newRow("nothing stored") << false << QStringList() << QJsonObject();
    QTest::newRow("stored settings") << true << QStringList() << stored;
    QJsonObject overridden = stored;
    overridden.insert(u"model"_s, u"small"_s);
    overridden.insert(u"language"_s, u"fr"_s);
    QTest::newRow("options win") << true << QStringList{u"--model"_s, u"small"_s, u"--language"_s, u"fr"_s} << overridden;
    QJsonObject autodetected = stored;
    autodetected.remove(u"language"_s);
    QTest::newRow("language left open") << true << QStringList{u"--language"_s, QString()} << autodetected;
}

void tst_Dictate::settingsReachHelper()
{
    QFETCH(bool, stored);
    QFETCH(QStringList, options);
    QFETCH(QJsonObject, expected);

    if (stored) {
        // Stored where every host keeps them, as the editor and the setup tool would.
        const QString testName = QCoreApplication::applicationName();
        useSharedSettings();
        WhisperSpeechToTextUtils::saveModel(u"base"_s);
        WhisperSpeechToTextUtils::saveLanguage(u"de"_s);
        WhisperSpeechToTextUtils::saveComputeType(u"int8"_s);
        WhisperSpeechToTextUtils::saveDevice(u"cpu"_s);
        QCoreApplication::setApplicationName(testName);
    }
    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(1600, 1, 16000)));
    const ToolRun result = run(options + QStringList{path});
    QVERIFY2(result.exitCode == 0, result.err.constData());

    QJsonObject start = commands(u"start"_s).value(0);
    QCOMPARE(start.value("cmd"_L1).toString(), u"start"_s);
    for (const char *key : {"cmd", "id", "partials", "sampleFormat"})
        start.remove(QLatin1StringView(key));
    QCOMPARE(start, expected);
}

void tst_Dictate::notInstalled_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("served");

    const QString missingBoth = u"Whisper is not installed. Missing: faster-whisper, numpy"_s;
    const QString notUsable = u"Whisper is not usable. Please reinstall it."_s;
    QTest::newRow("no environment") << u"no venv"_s << QStringList() << missingBoth << false;
    QTest::newRow("no helper") << u"no helper"_s << QStringList() << notUsable << false;
    QTest::newRow("helper not executable") << u"helper not executable"_s << QStringList() << notUsable << false;
    QTest::newRow("check reports missing packages")
        << QString() << QStringList{u"COUNTING_HELPER_MISSING=faster-whisper,numpy"_s} << missingBoth << false;
    QTest::newRow("helper reports missing packages while serving")
        << QString() << QStringList{u"COUNTING_HELPER_ON_STOP=missing"_s} << u"Whisper is not installed. Missing: faster-whisper"_s << true;
}

void tst_Dictate::notInstalled()
{
    QFETCH(QString, situation);
    QFETCH(QStringList, environment);
    QFETCH(QString, message);
    QFETCH(bool, served);

    if (situation == u"no venv"_s)
        QVERIFY(QDir(mEnvironment->home() + u"/.venv/whisper"_s).removeRecursively());
    if (situation == u"no helper"_s)
        QVERIFY(QFile::remove(mEnvironment->binDir() + u"/whisper_helper.py"_s));
    if (situation == u"helper not executable"_s)
        QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/counting_whisper_helper.py"), u"whisper_helper.py"_s, false));

    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(3200, 1, 16000)));
    const ToolRun result = run({path}, {}, environment);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("earlobe-dictate: " + message.toUtf8() + '\n'), result.err.constData());
    QCOMPARE(commands(u"start"_s).size(), served ? 1 : 0);
}

void tst_Dictate::helperFailures_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("message");

    QTest::newRow("crash") << QStringList() << QStringList{u"COUNTING_HELPER_ON_STOP=crash"_s}
                           << u"The whisper backend stopped unexpectedly."_s;
    QTest::newRow("error reply") << QStringList() << QStringList{u"COUNTING_HELPER_ON_STOP=error"_s} << u"The model could not be loaded."_s;
    QTest::newRow("no answer") << QStringList{u"--timeout"_s, u"1.5"_s} << QStringList{u"COUNTING_HELPER_ON_STOP=silent"_s}
                               << u"No final text from the whisper helper within 1.5 seconds."_s;
}

void tst_Dictate::helperFailures()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QString, message);

    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(3200, 1, 16000)));
    const ToolRun result = run(options + QStringList{path}, {}, environment);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.endsWith("earlobe-dictate: " + message.toUtf8() + '\n'), result.err.constData());
    QCOMPARE(commands(u"stop"_s).size(), 1);
}

void tst_Dictate::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");

    const QByteArray samples = tone(1600, 1, 16000);
    const QByteArray valid = wavBytes(audioFormat(16000, 1), samples);
    const QStringList file{u"$FILE"_s};
    QTest::newRow("not a WAV") << file << QByteArray("just some text\n") << QByteArray() << u"Not a WAV file"_s;
    QTest::newRow("8-bit") << file << wavBytes(audioFormat(8000, 1, QAudioFormat::UInt8), samples) << QByteArray()
                           << u"only 16-bit PCM can be read"_s;
    QTest::newRow("float") << file << wavBytes(audioFormat(48000, 2, QAudioFormat::Float), samples) << QByteArray()
                           << u"only 16-bit PCM can be read"_s;
    QTest::newRow("truncated") << file << valid.left(30) << QByteArray() << u"format chunk is too short"_s;
    QTest::newRow("no audio") << file << wavBytes(audioFormat(16000, 1), {}) << QByteArray() << u"holds no audio"_s;
    QTest::newRow("not a WAV on standard input")
        << QStringList() << QByteArray() << QByteArray("RIFF....AVI ") << u"standard input: Not a WAV file"_s;
    QTest::newRow("missing file") << QStringList{u"/nonexistent/speech.wav"_s} << QByteArray() << QByteArray()
                                  << u"Cannot open /nonexistent/speech.wav"_s;
    QTest::newRow("two files") << QStringList{u"$FILE"_s, u"$FILE"_s} << valid << QByteArray() << u"Only one file"_s;
    QTest::newRow("timeout 0") << QStringList{u"--timeout"_s, u"0"_s, u"$FILE"_s} << valid << QByteArray() << u"--timeout takes"_s;
    QTest::newRow("timeout not a number") << QStringList{u"--timeout=soon"_s, u"$FILE"_s} << valid << QByteArray() << u"--timeout takes"_s;
    QTest::newRow("unknown option") << QStringList{u"--loud"_s, u"$FILE"_s} << valid << QByteArray() << u"Unknown option 'loud'"_s;
}

void tst_Dictate::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);

    arguments.replaceInStrings(u"$FILE"_s, writeFile(u"input.wav"_s, file));
    const ToolRun result = run(arguments, input);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    // Refused before the helper was asked anything.
    QVERIFY(commands().isEmpty());
}

void tst_Dictate::pacing_data()
{
    QTest::addColumn<bool>("realtime");

    QTest::newRow("as fast as possible") << false;
    QTest::newRow("real time") << true;
}

void tst_Dictate::pacing()
{
    QFETCH(bool, realtime);

    // One second of audio.
    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(16000, 1, 16000)));
    const ToolRun result = run(realtime ? QStringList{u"--realtime"_s, path} : QStringList{path});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const HeardAudio heard = parseFinal(result.out);
    QCOMPARE(heard.bytes, 32000);
    // The helper measures from the first write to the end of the utterance.
    if (realtime) {
        QVERIFY2(heard.spanMs >= 900 && heard.spanMs < 3000, qPrintable(QString::number(heard.spanMs)));
        QVERIFY(result.elapsedMs >= 900);
    } else {
        QVERIFY2(heard.spanMs < 400, qPrintable(QString::number(heard.spanMs)));
    }
}

void tst_Dictate::helpListsExitCodes()
{
    const ToolRun result = run({u"--help"_s});
    QCOMPARE(result.exitCode, 0);
    const QString help = QString::fromUtf8(result.out);
    for (const QString &line :
         {u"Exit codes:"_s, u"  0  "_s, u"  1  bad usage"_s, u"  2  dictation is not installed"_s, u"  3  the helper failed"_s,
          u"--realtime"_s, u"--no-partials"_s, u"--timeout <seconds>"_s, u"--model <id>"_s, u"--language <code>"_s})
        QVERIFY2(help.contains(line), qPrintable(line));
}

QTEST_GUILESS_MAIN(tst_Dictate)
#include "tst_dictate.moc"
