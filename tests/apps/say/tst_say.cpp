#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <pcmconverter.h>
#include <wavfile.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int RunTimeoutMs = 30000;
constexpr int HelperRate = 24000;

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

enum class Audio {
    NoServer,
    Server,
};

// Where sound is in 24 kHz mono audio: the first and the last 10 ms window that is not silent.
struct SoundSpan {
    double start = -1;
    double end = -1;

    [[nodiscard]] double seconds() const
    {
        return end - start;
    }
};

SoundSpan soundSpan(const QByteArray &mono24k)
{
    constexpr int Window = HelperRate / 100;
    SoundSpan span;
    const qsizetype frames = mono24k.size() / 2;
    for (qsizetype start = 0; start + Window <= frames; start += Window) {
        double sum = 0;
        for (qsizetype i = start; i < start + Window; ++i) {
            const double sample = qFromLittleEndian<qint16>(mono24k.constData() + 2 * i);
            sum += sample * sample;
        }
        if (std::sqrt(sum / Window) < 300)
            continue;
        if (span.start < 0)
            span.start = double(start) / HelperRate;
        span.end = double(start + Window) / HelperRate;
    }
    return span;
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}
} // namespace

class tst_Say : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void writesWhatTheHelperSpoke_data();
    void writesWhatTheHelperSpoke();
    void unwritableOutput_data();
    void unwritableOutput();
    void subtitlesOfSavedSpeech();
    void subtitlesWhilePlaying();
    void playsOnTheDefaultOutput();
    void noAudioDevice();
    void notInstalled_data();
    void notInstalled();
    void helperFailures_data();
    void helperFailures();
    void listVoices();
    void badOptions_data();
    void badOptions();
    void helpListsExitCodes();

private:
    ToolRun run(const QStringList &arguments, const QByteArray &input = {}, const QStringList &environment = {},
                Audio audio = Audio::NoServer) const;
    // One entry per "say" the helper answered: id, text, voice, speed, bytes, sha256.
    [[nodiscard]] QList<QJsonObject> spoken() const;
    [[nodiscard]] QString outputPath() const;
    [[nodiscard]] QString subtitlesPath() const;
    // The scenario-driven fake helper, answering "say" with these frames after its format.
    bool useFakeHelper(const QByteArray &sayFrames);

    std::unique_ptr<PulseAudioServer> mServer;
    bool mServerRunning = false;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_Say::initTestCase()
{
    mServer = std::make_unique<PulseAudioServer>();
    // At a sound card's latency, so that the speech starts playing as soon as it would on one.
    mServerRunning = mServer->start() && mServer->runAtSoundCardLatency();
    if (!mServerRunning)
        qWarning() << "No PulseAudio server, playback is not tested:" << mServer->errorString();
}

void tst_Say::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/espeak_kokoro_helper.py"), u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_Say::cleanup()
{
    mEnvironment.reset();
}

ToolRun tst_Say::run(const QStringList &arguments, const QByteArray &input, const QStringList &environment, Audio audio) const
{
    QProcessEnvironment processEnvironment = QProcessEnvironment::systemEnvironment();
    processEnvironment.insert(u"PULSE_SERVER"_s, audio == Audio::Server ? mServer->address() : u"unix:/nonexistent/pulse/native"_s);
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

QList<QJsonObject> tst_Say::spoken() const
{
    QList<QJsonObject> result;
    const QList<QByteArray> lines = FakeHelperEnvironment::readFile(mEnvironment->binDir() + u"/kokoro_helper.py.log"_s).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            result.append(QJsonDocument::fromJson(line).object());
    }
    return result;
}

QString tst_Say::outputPath() const
{
    return mEnvironment->home() + u"/speech.wav"_s;
}

QString tst_Say::subtitlesPath() const
{
    return mEnvironment->home() + u"/speech.vtt"_s;
}

bool tst_Say::useFakeHelper(const QByteArray &sayFrames)
{
    return mEnvironment->installFakeHelper(u"kokoro_helper.py"_s)
        && mEnvironment->setScenario(R"({"startup":[{"frame":{"type":"ready"}}],"commands":{"say":[)"
                                     R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}},)"
                                     + sayFrames + R"({"frame":{"type":"end","id":"$id"}}]}})");
}

void tst_Say::writesWhatTheHelperSpoke_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("voice");
    QTest::addColumn<double>("speed");

    QTest::newRow("words joined") << QStringList{u"-o"_s, u"$OUT"_s, u"Hello"_s, u"big"_s, u"world."_s} << QByteArray()
                                  << u"Hello big world."_s << u"af_heart"_s << 1.0;
    QTest::newRow("standard input") << QStringList{u"--output"_s, u"$OUT"_s} << QByteArray("Read from standard input.\nTwo lines.\n")
                                    << u"Read from standard input.\nTwo lines.\n"_s << u"af_heart"_s << 1.0;
    QTest::newRow("voice and faster") << QStringList{u"--voice"_s, u"bf_emma"_s, u"--rate"_s, u"0.5"_s, u"-o"_s, u"$OUT"_s, u"Faster"_s}
                                      << QByteArray() << u"Faster"_s << u"bf_emma"_s << 1.5;
    QTest::newRow("slowest") << QStringList{u"--rate=-1"_s, u"--output=$OUT"_s, u"Slow"_s} << QByteArray() << u"Slow"_s << u"af_heart"_s
                             << 0.5;
}

void tst_Say::writesWhatTheHelperSpoke()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, text);
    QFETCH(QString, voice);
    QFETCH(double, speed);

    arguments.replaceInStrings(u"$OUT"_s, outputPath());
    const ToolRun result = run(arguments, input);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.out, QByteArray());

    const QList<QJsonObject> requests = spoken();
    QCOMPARE(requests.size(), 1);
    const QJsonObject request = requests.constFirst();
    QCOMPARE(request.value("text"_L1).toString(), text);
    QCOMPARE(request.value("voice"_L1).toString(), voice);
    QCOMPARE(request.value("speed"_L1).toDouble(), speed);

    WavFile wav;
    QVERIFY2(wav.read(outputPath()), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), HelperRate);
    QCOMPARE(wav.channelCount(), 1);
    const qint64 bytes = request.value("bytes"_L1).toInteger();
    QVERIFY(bytes > HelperRate / 10);
    QCOMPARE(wav.samples().size(), bytes);
    QCOMPARE(sha256(wav.samples()), request.value("sha256"_L1).toString().toLatin1());
    QCOMPARE(QFileInfo(outputPath()).size(), 44 + bytes);
}

void tst_Say::unwritableOutput_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    QTest::newRow("folder missing") << QStringList{u"--output"_s, u"$HOME/no/such/folder/speech.wav"_s}
                                    << u"Cannot write $HOME/no/such/folder/speech.wav: the folder $HOME/no/such/folder does not exist."_s;
    QTest::newRow("a folder") << QStringList{u"--output"_s, u"$HOME"_s} << u"Cannot write $HOME: it is a folder."_s;
    // Subtitles are found unwritable before the speech is played, as well as before it is saved.
    QTest::newRow("subtitles folder missing")
        << QStringList{u"--subtitles"_s, u"$HOME/no/such/folder/speech.vtt"_s}
        << u"Cannot write $HOME/no/such/folder/speech.vtt: the folder $HOME/no/such/folder does not exist."_s;
    QTest::newRow("subtitles a folder, with output")
        << QStringList{u"-o"_s, u"$HOME/speech.wav"_s, u"--subtitles"_s, u"$HOME"_s} << u"Cannot write $HOME: it is a folder."_s;
    QTest::newRow("subtitles over the output")
        << QStringList{u"--output"_s, u"$HOME/speech.wav"_s, u"--subtitles=$HOME/../home/speech.wav"_s}
        << u"--subtitles and --output name the same file, $HOME/speech.wav.\nTry 'larynx-say --help' for more information."_s;
}

void tst_Say::unwritableOutput()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);

    options.replaceInStrings(u"$HOME"_s, mEnvironment->home());
    message.replace(u"$HOME"_s, mEnvironment->home());
    const ToolRun result = run(options + QStringList{u"Never spoken"_s});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QString::fromUtf8(result.err), u"larynx-say: "_s + message + u'\n');
    // Found before any synthesis.
    QVERIFY(spoken().isEmpty());
    QVERIFY(!QFile::exists(outputPath()));
}

namespace
{
QByteArray chunks(int count, int bytes)
{
    QByteArray frames;
    for (int i = 0; i < count; ++i)
        frames += R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":)" + QByteArray::number(bytes) + "},";
    return frames;
}

QByteArray mark(const char *kind, int start, int length, int sample)
{
    return R"({"frame":{"type":"mark","id":"$id","kind":")" + QByteArray(kind) + R"(","start":)" + QByteArray::number(start)
        + R"(,"length":)" + QByteArray::number(length) + R"(,"sample":)" + QByteArray::number(sample) + "}},";
}
} // namespace

void tst_Say::subtitlesOfSavedSpeech()
{
    // 0.1 s chunks that do not end where the marks are: a mark's time is the audio before
    // it, to the sample, wherever the helper cut its chunks.
    const QString text = u"Hello world & <friends>. Bye."_s;
    QVERIFY(useFakeHelper(mark("sentence", 0, 24, 0) + mark("word", 0, 5, 0) + chunks(2, 4800) + mark("word", 6, 5, 5040) + chunks(3, 4800)
                          + mark("word", 15, 7, 12000) + chunks(5, 4800) + mark("sentence", 25, 4, 24000) + chunks(5, 4800)));

    const ToolRun result = run({u"-o"_s, outputPath(), u"--subtitles"_s, subtitlesPath(), text});
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.err, QByteArray());
    WavFile wav;
    QVERIFY2(wav.read(outputPath()), qPrintable(wav.errorString()));
    QCOMPARE(wav.samples().size(), 15 * 4800);
    QCOMPARE(QString::fromUtf8(FakeHelperEnvironment::readFile(subtitlesPath())),
             u"WEBVTT\n"
             "\n"
             "00:00:00.000 --> 00:00:01.000\n"
             "Hello <00:00:00.210>world &amp; &lt;<00:00:00.500>friends&gt;.\n"
             "\n"
             "00:00:01.000 --> 00:00:01.500\n"
             "Bye.\n"_s);
}

void tst_Say::subtitlesWhilePlaying()
{
    if (!mServerRunning)
        QSKIP("No PulseAudio server");
    QVERIFY(useFakeHelper(mark("sentence", 0, 6, 0) + chunks(10, 4800) + mark("sentence", 7, 9, 24000) + mark("word", 7, 3, 24000)
                          + chunks(5, 4800) + mark("word", 11, 5, 36000) + chunks(5, 4800)));

    const ToolRun result = run({u"--subtitles"_s, subtitlesPath(), u"First. Two\nwords"_s}, {}, {}, Audio::Server);
    QVERIFY2(result.exitCode == 0, result.err.constData());

    // Timed by the clock as the speech plays: the marks are 1 s and 1.5 s into it, and it lasts 2 s.
    static const QRegularExpression expected(u"^WEBVTT\n"
                                             "\n"
                                             "00:00:00\\.000 --> 00:00:0(\\d\\.\\d{3})\n"
                                             "First\\.\n"
                                             "\n"
                                             "00:00:0(\\d\\.\\d{3}) --> 00:00:0(\\d\\.\\d{3})\n"
                                             "Two <00:00:0(\\d\\.\\d{3})>words\n$"_s);
    const QString vtt = QString::fromUtf8(FakeHelperEnvironment::readFile(subtitlesPath()));
    const QRegularExpressionMatch match = expected.match(vtt);
    QVERIFY2(match.hasMatch(), qPrintable(vtt));
    QCOMPARE(match.captured(1), match.captured(2));
    const QList<double> wanted{1.0, 1.0, 2.0, 1.5};
    for (int i = 0; i < wanted.size(); ++i) {
        const double seconds = match.captured(i + 1).toDouble();
        QVERIFY2(std::abs(seconds - wanted.at(i)) < 0.2, qPrintable(vtt));
    }
}

void tst_Say::playsOnTheDefaultOutput()
{
    if (!mServerRunning)
        QSKIP("No PulseAudio server");
    QTemporaryDir dir;
    const QString recording = dir.filePath(u"played.wav"_s);
    QVERIFY(mServer->startRecording(recording));
    QTest::qWait(300);
    const ToolRun result = run({u"Reading aloud on the default output."_s}, {}, {}, Audio::Server);
    QTest::qWait(300);
    mServer->stopRecording();
    QVERIFY2(result.exitCode == 0, result.err.constData());

    const QByteArray sent = FakeHelperEnvironment::readFile(mEnvironment->binDir() + u"/kokoro_helper.py.pcm"_s);
    const double sentSeconds = double(sent.size()) / (2 * HelperRate);
    QVERIFY(sentSeconds > 1.0);
    // The tool ends when the speech has been heard, not when it has been handed over.
    QVERIFY2(result.elapsedMs >= 0.9 * sentSeconds * 1000, qPrintable(QString::number(result.elapsedMs)));

    WavFile played;
    QVERIFY2(played.read(recording), qPrintable(played.errorString()));
    const SoundSpan heard = soundSpan(PcmConverter::convert(played.samples(), played.sampleRate(), played.channelCount(), HelperRate, 1));
    const SoundSpan spoken = soundSpan(sent);
    QVERIFY2(heard.start >= 0, "the sink's monitor heard nothing");
    // The monitor of a null sink that was idle loses about 0.2 s at the start of a stream.
    QVERIFY2(heard.seconds() > spoken.seconds() - 0.3 && heard.seconds() < spoken.seconds() + 0.1,
             qPrintable(u"heard %1 s of sound, spoken %2 s"_s.arg(heard.seconds()).arg(spoken.seconds())));
}

void tst_Say::noAudioDevice()
{
    const ToolRun result = run({u"Nobody listens."_s});
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.endsWith("larynx-say: Unable to open the audio device.\n"), result.err.constData());
}

void tst_Say::notInstalled_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("toFile");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("message");

    const QString installFirst = u"Kokoro is not installed. Please install it first."_s;
    QTest::newRow("no environment") << u"no venv"_s << true << QStringList() << installFirst;
    QTest::newRow("no environment, playing") << u"no venv"_s << false << QStringList() << installFirst;
    QTest::newRow("no helper") << u"no helper"_s << true << QStringList() << installFirst;
    QTest::newRow("helper misses packages")
        << QString() << true << QStringList{u"ESPEAK_HELPER_MISSING=kokoro,torch"_s}
        << u"Kokoro was unable to synthesize the text: Kokoro is not installed. Missing: kokoro, torch"_s;
}

void tst_Say::notInstalled()
{
    QFETCH(QString, situation);
    QFETCH(bool, toFile);
    QFETCH(QStringList, environment);
    QFETCH(QString, message);

    if (situation == u"no venv"_s)
        QVERIFY(QDir(mEnvironment->home() + u"/.venv/kokoro"_s).removeRecursively());
    if (situation == u"no helper"_s)
        QVERIFY(QFile::remove(mEnvironment->binDir() + u"/kokoro_helper.py"_s));

    const QStringList output = toFile ? QStringList{u"-o"_s, outputPath()} : QStringList();
    const ToolRun result = run(output + QStringList{u"Hello"_s}, {}, environment);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(QString::fromUtf8(result.err),
             u"larynx-say: "_s + message + u"\nlarynx-say: Set it up with: earlobe-larynx-setup install kokoro\n"_s);
    QVERIFY(!QFile::exists(outputPath()));
}

void tst_Say::helperFailures_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("message");

    QTest::newRow("crash") << QStringList() << QStringList{u"ESPEAK_HELPER_ON_SAY=crash"_s}
                           << u"The Kokoro backend stopped unexpectedly."_s;
    QTest::newRow("error reply") << QStringList() << QStringList{u"ESPEAK_HELPER_ON_SAY=error"_s}
                                 << u"Kokoro was unable to synthesize the text: The voice could not be loaded."_s;
    QTest::newRow("no answer") << QStringList{u"--timeout"_s, u"1"_s} << QStringList{u"ESPEAK_HELPER_ON_SAY=silent"_s}
                               << u"The kokoro helper did not answer within 1 seconds."_s;
}

void tst_Say::helperFailures()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QString, message);

    const ToolRun result = run(options + QStringList{u"-o"_s, outputPath(), u"Hello"_s}, {}, environment);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(QString::fromUtf8(result.err), u"larynx-say: "_s + message + u'\n');
    QVERIFY(!QFile::exists(outputPath()));
}

void tst_Say::listVoices()
{
    // The catalogue is the library's own: nothing needs to be installed.
    QVERIFY(QFile::remove(mEnvironment->binDir() + u"/kokoro_helper.py"_s));
    QVERIFY(QDir(mEnvironment->home() + u"/.venv/kokoro"_s).removeRecursively());

    const ToolRun result = run({u"--list-voices"_s});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());

    static const QRegularExpression voiceLine(u"^([a-z]{2}_[a-z]+) +(\\S+) +([a-z]{2}_[A-Z]{2}) (\\S.*\\S) +(female|male)$"_s);
    QList<QStringList> groups(1);
    QStringList locales;
    const QStringList lines = QString::fromUtf8(result.out).split(u'\n');
    QCOMPARE(lines.constLast(), QString());
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.isEmpty()) {
            groups.append(QStringList());
            continue;
        }
        const QRegularExpressionMatch match = voiceLine.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        if (groups.constLast().isEmpty())
            locales.append(match.captured(3));
        // A language's voices stay together under one locale.
        QCOMPARE(match.captured(3), locales.constLast());
        groups.last().append(match.captured(1));
    }
    QCOMPARE(locales,
             (QStringList{u"en_US"_s, u"en_GB"_s, u"es_ES"_s, u"fr_FR"_s, u"hi_IN"_s, u"it_IT"_s, u"pt_BR"_s, u"ja_JP"_s, u"zh_CN"_s}));
    qsizetype voices = 0;
    for (const QStringList &group : std::as_const(groups))
        voices += group.size();
    QCOMPARE(voices, 54);
    QVERIFY2(lines.constFirst().contains(QRegularExpression(u"^af_heart +Heart +en_US English \\(United States\\) +female$"_s)),
             qPrintable(lines.constFirst()));
    QVERIFY2(lines.at(lines.size() - 2).contains(QRegularExpression(u"^zm_yunyang +Yunyang +zh_CN Chinese \\(China\\) +male$"_s)),
             qPrintable(lines.at(lines.size() - 2)));
}

void tst_Say::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown voice") << QStringList{u"--voice"_s, u"xf_nobody"_s, u"Hi"_s} << QByteArray()
                                   << u"Unknown voice \"xf_nobody\". See --list-voices"_s;
    QTest::newRow("rate too high") << QStringList{u"--rate"_s, u"1.5"_s, u"Hi"_s} << QByteArray()
                                   << u"--rate takes a number from -1 to 1"_s;
    QTest::newRow("rate not a number") << QStringList{u"--rate"_s, u"fast"_s, u"Hi"_s} << QByteArray()
                                       << u"--rate takes a number from -1 to 1, not \"fast\""_s;
    QTest::newRow("rate not a number at all") << QStringList{u"--rate"_s, u"nan"_s, u"Hi"_s} << QByteArray()
                                              << u"--rate takes a number from -1 to 1"_s;
    QTest::newRow("volume below 0") << QStringList{u"--volume=-0.1"_s, u"Hi"_s} << QByteArray() << u"--volume takes a number from 0 to 1"_s;
    QTest::newRow("volume above 1") << QStringList{u"--volume"_s, u"2"_s, u"Hi"_s} << QByteArray()
                                    << u"--volume takes a number from 0 to 1"_s;
    QTest::newRow("timeout 0") << QStringList{u"--timeout"_s, u"0"_s, u"Hi"_s} << QByteArray() << u"--timeout takes"_s;
    QTest::newRow("blank text") << QStringList{u"  "_s, u"\t"_s} << QByteArray() << u"Nothing to read"_s;
    QTest::newRow("empty standard input") << QStringList() << QByteArray("\n\n") << u"Nothing to read"_s;
    QTest::newRow("unknown option") << QStringList{u"--shout"_s, u"Hi"_s} << QByteArray() << u"Unknown option 'shout'"_s;
    QTest::newRow("output without file") << QStringList{u"--output"_s} << QByteArray() << u"Missing value after '--output'"_s;
}

void tst_Say::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);

    const ToolRun result = run(arguments, input);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    QVERIFY(spoken().isEmpty());
}

void tst_Say::helpListsExitCodes()
{
    const ToolRun result = run({u"--help"_s});
    QCOMPARE(result.exitCode, 0);
    const QString help = QString::fromUtf8(result.out);
    for (const QString &line : {u"Exit codes:"_s, u"  0  "_s, u"  1  bad usage"_s, u"  2  read-aloud is not installed"_s,
                                u"  3  the helper, the audio or a write failed"_s, u"--timeout <seconds>"_s, u"(default 120)"_s, u"--output <file.wav>"_s, u"--subtitles <file.vtt>"_s,
                                u"--voice <id>"_s, u"--rate <rate>"_s, u"--volume <volume>"_s, u"--list-voices"_s})
        QVERIFY2(help.contains(line), qPrintable(line));
}

QTEST_GUILESS_MAIN(tst_Say)
#include "tst_say.moc"
