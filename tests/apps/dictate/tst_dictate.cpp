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
#include <QtEndian>

#include <cmath>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

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

// A run watched through /proc while it reads from a source process: its peak memory, and
// whether it was stopped for going over the ceiling.
struct WatchedRun {
    ToolRun run;
    qint64 peakKb = 0;
    qint64 inputBytes = 0;
    bool overCeiling = false;
};

qint64 procValue(qint64 pid, const char *file, const QByteArray &key)
{
    QFile status(u"/proc/%1/%2"_s.arg(pid).arg(QLatin1StringView(file)));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}


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

// A header whose sizes claim dataSize bytes of samples, whatever follows it; 16 kHz mono.
QByteArray claimingHeader(quint32 dataSize)
{
    QByteArray header = WavFile::header(audioFormat(16000, 1), 0);
    qToLittleEndian<quint32>(dataSize == 0xFFFFFFFF ? dataSize : 36 + dataSize, header.data() + 4);
    qToLittleEndian<quint32>(dataSize, header.data() + 40);
    return header;
}

// Child set-ups that give the tool a broken standard stream.
void closeDescriptor(int fd)
{
    ::close(fd);
}

void replaceDescriptor(int fd, const char *path, int flags)
{
    const int opened = ::open(path, flags);
    ::dup2(opened, fd);
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
    void endlessInputInFlatMemory();
    void endlessJunkRefusedAtOnce_data();
    void endlessJunkRefusedAtOnce();
    void brokenInput_data();
    void brokenInput();
    void headerClaimingMore_data();
    void headerClaimingMore();
    void failedOutput_data();
    void failedOutput();

private:
    using Preparation = std::function<void(QProcess &)>;
    ToolRun run(const QStringList &arguments, const QByteArray &input = {}, const QStringList &environment = {},
                const Preparation &prepare = {}) const;
    // Runs the tool with the output of source on its standard input until it ends, goes over
    // ceilingKb, has read stopAfterBytes (when above 0) or limitMs have passed.
    WatchedRun runWatched(const QStringList &arguments, const QStringList &source, qint64 ceilingKb, qint64 stopAfterBytes,
                          int limitMs) const;
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

ToolRun tst_Dictate::run(const QStringList &arguments, const QByteArray &input, const QStringList &environment,
                         const Preparation &prepare) const
{
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(u"COUNTING_HELPER_LOG"_s, logPath());
    for (const QString &entry : environment)
        processEnvironment.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));

    QProcess process;
    process.setProcessEnvironment(processEnvironment);
    if (prepare)
        prepare(process);
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

WatchedRun tst_Dictate::runWatched(const QStringList &arguments, const QStringList &source, qint64 ceilingKb,
                                   qint64 stopAfterBytes, int limitMs) const
{
    QProcess generator;
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"COUNTING_HELPER_LOG"_s, logPath());
    // Freed blocks held back by the address sanitizer would pass for a leak here.
    environment.insert(u"ASAN_OPTIONS"_s, environment.value(u"ASAN_OPTIONS"_s) + u":quarantine_size_mb=8"_s);
    tool.setProcessEnvironment(environment);
    generator.setStandardOutputProcess(&tool);
    tool.start(QStringLiteral(TOOL_PATH), arguments);
    generator.start(source.value(0), source.mid(1));
    WatchedRun watched;
    if (!tool.waitForStarted() || !generator.waitForStarted())
        return watched;

    QElapsedTimer clock;
    clock.start();
    const qint64 pid = tool.processId();
    while (!tool.waitForFinished(20) && clock.elapsed() < limitMs) {
        watched.peakKb = std::max(watched.peakKb, procValue(pid, "status", "VmHWM"));
        watched.inputBytes = std::max(watched.inputBytes, procValue(pid, "io", "rchar"));
        watched.overCeiling = watched.peakKb > ceilingKb;
        if (watched.overCeiling || (stopAfterBytes > 0 && watched.inputBytes >= stopAfterBytes))
            break;
    }
    watched.run.elapsedMs = clock.elapsed();
    const bool ended = tool.state() == QProcess::NotRunning;
    tool.kill();
    tool.waitForFinished();
    generator.kill();
    generator.waitForFinished();
    if (ended)
        watched.run.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    watched.run.out = tool.readAllStandardOutput();
    watched.run.err = tool.readAllStandardError();
    return watched;
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

void tst_Dictate::endlessInputInFlatMemory()
{
    // An endless recording on a pipe: the samples must go to the helper as they come, and
    // 128 MiB of them pass through a tool that never holds more than a small part.
    const QString header = writeFile(u"endless.wav"_s, claimingHeader(0xFFFFFFFF));
    constexpr qint64 CeilingKb = 96 * 1024;
    constexpr qint64 InputBytes = 128 * 1024 * 1024;
    const WatchedRun watched = runWatched({u"--no-partials"_s, u"-"_s}, {u"cat"_s, header, u"/dev/zero"_s}, CeilingKb, InputBytes, 20000);
    QVERIFY2(!watched.overCeiling, qPrintable(u"%1 kB after reading %2 bytes"_s.arg(watched.peakKb).arg(watched.inputBytes)));
    QVERIFY2(watched.inputBytes >= InputBytes, qPrintable(u"read only %1 bytes in %2 ms; %3"_s.arg(watched.inputBytes)
                                                             .arg(watched.run.elapsedMs)
                                                             .arg(QString::fromUtf8(watched.run.err))));
    QVERIFY(watched.peakKb > 0);
    // The samples went on to the helper while they were read.
    QVERIFY(commands(u"audio"_s).size() > 1000);
}

void tst_Dictate::endlessJunkRefusedAtOnce_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QString>("message");

    QTest::newRow("/dev/zero") << QStringList{u"/dev/zero"_s} << QStringList{u"true"_s} << u"/dev/zero: Not a WAV file"_s;
    QTest::newRow("zeros on standard input") << QStringList{u"-"_s} << QStringList{u"cat"_s, u"/dev/zero"_s}
                                             << u"standard input: Not a WAV file"_s;
    QTest::newRow("2 GB that is no WAV") << QStringList{u"$BIG"_s} << QStringList{u"true"_s} << u"Not a WAV file"_s;
    QTest::newRow("a WAV header, then zeros") << QStringList{u"-"_s} << QStringList{u"cat"_s, u"$RIFF"_s, u"/dev/zero"_s}
                                              << u"standard input: Not a WAV file (damaged chunk"_s;
}

void tst_Dictate::endlessJunkRefusedAtOnce()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, source);
    QFETCH(QString, message);

    // Sparse: two gigabytes of nothing, on no disk.
    QFile big(mEnvironment->home() + u"/big.wav"_s);
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.write("not a wav file") > 0 && big.resize(qint64(2) << 30));
    big.close();
    arguments.replaceInStrings(u"$BIG"_s, big.fileName());
    source.replaceInStrings(u"$RIFF"_s, writeFile(u"riff"_s, QByteArray("RIFF\xff\xff\xff\xffWAVE", 12)));

    const WatchedRun watched = runWatched(arguments, source, 64 * 1024, 0, 5000);
    QVERIFY2(!watched.overCeiling, qPrintable(u"%1 kB"_s.arg(watched.peakKb)));
    QCOMPARE(watched.run.exitCode, 1);
    QVERIFY2(watched.run.elapsedMs < 2000, qPrintable(QString::number(watched.run.elapsedMs)));
    QVERIFY2(QString::fromUtf8(watched.run.err).contains(message), watched.run.err.constData());
    QVERIFY(commands().isEmpty());
}

void tst_Dictate::brokenInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("how");
    QTest::addColumn<QString>("message");

    QTest::newRow("closed") << QStringList() << 0 << u"standard input is closed"_s;
    QTest::newRow("closed, dash") << QStringList{u"-"_s} << 0 << u"standard input is closed"_s;
    QTest::newRow("a folder") << QStringList{u"-"_s} << 1 << u"standard input: Read error: Is a directory"_s;
    QTest::newRow("open for writing only") << QStringList{u"-"_s} << 2 << u"standard input: Read error: Bad file descriptor"_s;
}

void tst_Dictate::brokenInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, how);
    QFETCH(QString, message);

    const std::function<void()> breakInput[] = {
        [] { closeDescriptor(STDIN_FILENO); },
        [] { replaceDescriptor(STDIN_FILENO, "/", O_RDONLY | O_DIRECTORY); },
        [] { replaceDescriptor(STDIN_FILENO, "/dev/null", O_WRONLY); },
    };
    const ToolRun result = run(arguments, {}, {}, [&](QProcess &process) { process.setChildProcessModifier(breakInput[how]); });
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    QVERIFY(!result.err.contains("Not a WAV file"));
    QVERIFY(commands().isEmpty());
}

void tst_Dictate::headerClaimingMore_data()
{
    QTest::addColumn<bool>("fromInput");
    QTest::addColumn<quint32>("claimed");
    QTest::addColumn<bool>("warned");

    QTest::newRow("file claiming twice its samples") << false << quint32(32000) << true;
    QTest::newRow("pipe claiming twice its samples") << true << quint32(32000) << true;
    QTest::newRow("file claiming one byte more") << false << quint32(16001) << true;
    QTest::newRow("size left open") << true << quint32(0xFFFFFFFF) << false;
    QTest::newRow("size just right") << false << quint32(16000) << false;
}

void tst_Dictate::headerClaimingMore()
{
    QFETCH(bool, fromInput);
    QFETCH(quint32, claimed);
    QFETCH(bool, warned);

    const QByteArray samples = tone(8000, 1, 16000);
    const QByteArray wav = claimingHeader(claimed) + samples;
    const ToolRun result = fromInput ? run({u"--no-partials"_s}, wav) : run({u"--no-partials"_s, writeFile(u"short.wav"_s, wav)});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    const HeardAudio heard = parseFinal(result.out);
    QCOMPARE(heard.bytes, samples.size());
    QCOMPARE(heard.sha256, sha256(samples));
    const QString warning = u"warning: %1 ended after 16000 bytes of samples, but its header announced %2"_s.arg(
        fromInput ? u"standard input"_s : mEnvironment->home() + u"/short.wav"_s)
                                .arg(claimed);
    QCOMPARE(QString::fromUtf8(result.err).contains(warning), warned);
    if (!warned)
        QCOMPARE(result.err, QByteArray());
}

void tst_Dictate::failedOutput_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("how");
    QTest::addColumn<QString>("message");

    QTest::newRow("full") << QStringList() << 0 << u"Cannot write the text to standard output: No space left on device."_s;
    QTest::newRow("closed") << QStringList() << 1 << u"Cannot write the text to standard output: standard output is closed."_s;
    QTest::newRow("reader gone") << QStringList() << 2 << u"Cannot write the text to standard output: Broken pipe."_s;
    QTest::newRow("help, full") << QStringList{u"--help"_s} << 0 << u"Cannot write to standard output: No space left on device."_s;
    QTest::newRow("version, closed") << QStringList{u"--version"_s} << 1 << u"Cannot write to standard output: standard output is closed."_s;
}

void tst_Dictate::failedOutput()
{
    QFETCH(QStringList, options);
    QFETCH(int, how);
    QFETCH(QString, message);

    // A pipe whose reader has gone before anything was written.
    int pipeEnds[2];
    QCOMPARE(::pipe2(pipeEnds, O_CLOEXEC), 0);
    ::close(pipeEnds[0]);
    const int writeEnd = pipeEnds[1];
    const auto prepare = [&](QProcess &process) {
        if (how == 0)
            process.setStandardOutputFile(u"/dev/full"_s);
        else if (how == 1)
            process.setChildProcessModifier([] { closeDescriptor(STDOUT_FILENO); });
        else
            process.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDOUT_FILENO); });
    };
    const QString path = writeFile(u"speech.wav"_s, wavBytes(audioFormat(16000, 1), tone(3200, 1, 16000)));
    const ToolRun result = run(options + QStringList{u"--no-partials"_s, path}, {}, {}, prepare);
    ::close(writeEnd);
    QCOMPARE(result.exitCode, 3);
    QVERIFY2(result.err.endsWith("earlobe-dictate: " + message.toUtf8() + '\n'), result.err.constData());
}

QTEST_GUILESS_MAIN(tst_Dictate)
#include "tst_dictate.moc"
