#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <texttospeechkokoro.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const char formatAction[] = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}})";
const char endAction[] = R"({"frame":{"type":"end","id":"$id"}})";

QByteArray audioAction(double seconds, int chunkBytes = 4800)
{
    return R"({"audio":{"id":"$id","seconds":)" + QByteArray::number(seconds) + R"(,"chunkBytes":)" + QByteArray::number(chunkBytes) + "}}";
}

// A request of the given length: format, the tone in chunks, end.
QByteArray speech(double seconds, int chunkBytes = 4800)
{
    return R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(seconds, chunkBytes) + "," + endAction + "]}}";
}

// What parecord wrote: 16-bit samples of the first channel, and their rate.
struct Recording {
    QList<qint16> samples;
    int rate = 0;
};

Recording readRecording(const QString &wavPath)
{
    QFile file(wavPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    auto number = [&data](qsizetype offset, int bytes) {
        quint32 value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = (value << 8) | quint8(data.at(offset + i));
        return value;
    };
    Recording recording;
    int channels = 1;
    for (qsizetype offset = 12; offset + 8 <= data.size();) {
        const QByteArray id = data.mid(offset, 4);
        // parecord leaves the data size open while it records; take what is there.
        const qsizetype size = id == "data" ? data.size() - offset - 8 : qsizetype(number(offset + 4, 4));
        if (id == "fmt ") {
            channels = int(number(offset + 10, 2));
            recording.rate = int(number(offset + 12, 4));
        } else if (id == "data") {
            for (qsizetype i = offset + 8; i + 2 * channels <= data.size(); i += 2 * channels)
                recording.samples.append(qint16(number(i, 2)));
            break;
        }
        offset += 8 + size;
    }
    return recording;
}

double rootMeanSquare(const Recording &recording)
{
    double sum = 0;
    for (qint16 sample : recording.samples)
        sum += double(sample) * sample;
    return recording.samples.isEmpty() ? 0 : std::sqrt(sum / recording.samples.size());
}

// How long the recording holds sound: the number of 10 ms windows that are not silent.
double soundingSeconds(const Recording &recording)
{
    const int window = qMax(1, recording.rate / 100);
    int sounding = 0;
    for (qsizetype start = 0; start + window <= recording.samples.size(); start += window) {
        double sum = 0;
        for (qsizetype i = start; i < start + window; ++i)
            sum += double(recording.samples.at(i)) * recording.samples.at(i);
        if (std::sqrt(sum / window) > 1000)
            ++sounding;
    }
    return sounding / 100.0;
}

QString stateName(TextToSpeechState state)
{
    static const char *const names[] = {"Ready", "Speaking", "Paused", "Error", "Synthesizing"};
    return QString::fromLatin1(names[int(state)]);
}
} // namespace

class tst_TextToSpeechKokoroAudio : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void playbackTakesRealTime_data();
    void playbackTakesRealTime();
    void playedAudioReachesTheSink_data();
    void playedAudioReachesTheSink();
    void endWaitsForQueuedAudio();
    void slowHelperKeepsSpeaking();
    void pauseHoldsPlayback();
    void pauseBeforeTheAudio();
    void volumeChangesWhatIsPlayed();
    void volumeDuringPlayback();
    void errorWithoutIdDuringPlayback();
    void secondFormatReopensSink();
    void stopDuringPlayback();
    void helperKilledWhileSpeaking();
    void helperExitingZeroWhileSpeaking();
    void destructionWhileSpeaking();

private:
    std::unique_ptr<TextToSpeechKokoro> startEngine(const QByteArray &scenario);
    QStringList states(QSignalSpy &spy) const;
    // Says a text with the scenario (none: stays silent for a second) and records the sink.
    Recording playAndRecord(const QByteArray &scenario, double volume = 1.0);

    std::unique_ptr<PulseAudioServer> mServer;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_TextToSpeechKokoroAudio::initTestCase()
{
    // Started before anything asks Qt for an audio device, which it looks up only once.
    mServer = std::make_unique<PulseAudioServer>();
    if (!mServer->start())
        QSKIP(qPrintable(u"No PulseAudio server: "_s + mServer->errorString()));
    QVERIFY(mServer->runAtSoundCardLatency());
}

void tst_TextToSpeechKokoroAudio::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoroAudio::cleanup()
{
    mEnvironment.reset();
}

std::unique_ptr<TextToSpeechKokoro> tst_TextToSpeechKokoroAudio::startEngine(const QByteArray &scenario)
{
    if (!mEnvironment->setScenario(scenario))
        return {};
    return std::make_unique<TextToSpeechKokoro>();
}

QStringList tst_TextToSpeechKokoroAudio::states(QSignalSpy &spy) const
{
    QStringList names;
    for (const QList<QVariant> &arguments : std::as_const(spy))
        names.append(stateName(arguments.at(0).value<TextToSpeechState>()));
    return names;
}

Recording tst_TextToSpeechKokoroAudio::playAndRecord(const QByteArray &scenario, double volume)
{
    QTemporaryDir dir;
    const QString wav = dir.filePath(u"recorded.wav"_s);
    if (!mServer->startRecording(wav))
        return {};
    QTest::qWait(300);
    if (scenario.isEmpty()) {
        QTest::qWait(1000);
    } else {
        auto engine = startEngine(scenario);
        engine->setVolume(volume);
        engine->say(u"Tone"_s);
        if (!QTest::qWaitFor(
                [&engine] {
                    return engine->state() == TextToSpeechState::Ready;
                },
                15000))
            return {};
    }
    mServer->stopRecording();
    return readRecording(wav);
}

void tst_TextToSpeechKokoroAudio::playbackTakesRealTime_data()
{
    QTest::addColumn<double>("seconds");
    // Less than the audio server's pre-buffer: such a stream starts only once the engine
    // fills it up with silence after the end.
    QTest::newRow("0.05 s") << 0.05;
    QTest::newRow("1 s") << 1.0;
    QTest::newRow("3 s") << 3.0;
}

void tst_TextToSpeechKokoroAudio::playbackTakesRealTime()
{
    QFETCH(double, seconds);

    // The helper is started by a first request, so that only playback is timed.
    auto engine = startEngine(speech(0.05));
    engine->say(u"Warm up"_s);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);

    mEnvironment->setScenario(speech(seconds));
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QElapsedTimer timer;
    timer.start();
    engine->say(u"Tone"_s);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);
    // Ready comes once the last sample has played: not before, and not long after.
    const qint64 audio = qRound64(seconds * 1000);
    QVERIFY2(timer.elapsed() >= audio - 30 && timer.elapsed() <= audio + 400,
             qPrintable(u"%1 ms of audio in %2 ms"_s.arg(audio).arg(timer.elapsed())));
    QCOMPARE(states(spy), QStringList({u"Speaking"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroAudio::playedAudioReachesTheSink_data()
{
    QTest::addColumn<int>("chunkBytes");
    QTest::newRow("100 ms chunks") << 4800;
    // One chunk larger than the sink takes at once: written over many ticks, and no byte
    // may be lost or written twice.
    QTest::newRow("the whole second in one chunk") << 48000;
}

void tst_TextToSpeechKokoroAudio::playedAudioReachesTheSink()
{
    QFETCH(int, chunkBytes);

    const Recording played = playAndRecord(speech(1.0, chunkBytes));
    // The monitor drops up to about 0.1 s at the edges of a stream; a lost chunk or one
    // written twice shows far beyond that.
    const double seconds = soundingSeconds(played);
    QVERIFY2(seconds >= 0.85 && seconds <= 1.05, qPrintable(QString::number(seconds)));
    QVERIFY(rootMeanSquare(played) > 1000);

    const Recording silence = playAndRecord({});
    QCOMPARE(soundingSeconds(silence), 0.0);
    QVERIFY2(rootMeanSquare(silence) < 50, qPrintable(QString::number(rootMeanSquare(silence))));
}

void tst_TextToSpeechKokoroAudio::endWaitsForQueuedAudio()
{
    // All audio and the end arrive at once; the request still lasts as long as the audio.
    auto engine = startEngine(speech(1.5));
    engine->say(u"Queued"_s);
    QTRY_VERIFY(mEnvironment->pids().size() == 1);
    QTest::qWait(800);
    QCOMPARE(engine->state(), TextToSpeechState::Speaking);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
}

void tst_TextToSpeechKokoroAudio::slowHelperKeepsSpeaking()
{
    // Half a second of audio, a pause longer than the audio (the sink runs dry), then more.
    auto engine = startEngine(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(0.5) + R"(,{"sleep":1000},)"
                              + audioAction(0.5) + "," + endAction + "]}}");
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QElapsedTimer timer;
    timer.start();
    engine->say(u"Slow"_s);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
    // The second half can only play once it has come, after the helper's second of silence.
    QVERIFY2(timer.elapsed() >= 1450, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(states(spy), QStringList({u"Speaking"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroAudio::pauseHoldsPlayback()
{
    auto engine = startEngine(speech(1.0));
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QElapsedTimer timer;
    timer.start();
    engine->say(u"Pause me"_s);
    QTest::qWait(300);
    engine->pause();
    QCOMPARE(engine->state(), TextToSpeechState::Paused);
    QTest::qWait(1500);
    // A suspended sink never goes idle, so the request cannot end while paused.
    QCOMPARE(engine->state(), TextToSpeechState::Paused);
    engine->resume();
    QCOMPARE(engine->state(), TextToSpeechState::Speaking);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
    QVERIFY2(timer.elapsed() >= 2400, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(states(spy), QStringList({u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroAudio::pauseBeforeTheAudio()
{
    // Paused while the helper is still loading: the audio, once it comes, waits for resume().
    auto engine =
        startEngine(R"({"commands":{"say":[{"sleep":300},)" + QByteArray(formatAction) + "," + audioAction(0.5) + "," + endAction + "]}}");
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    engine->say(u"Early"_s);
    engine->pause();
    QCOMPARE(engine->state(), TextToSpeechState::Paused);
    QTest::qWait(1500);
    QCOMPARE(engine->state(), TextToSpeechState::Paused);
    QElapsedTimer timer;
    timer.start();
    engine->resume();
    QCOMPARE(engine->state(), TextToSpeechState::Speaking);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
    // All half second of it plays after the resume.
    QVERIFY2(timer.elapsed() >= 450, qPrintable(QString::number(timer.elapsed())));

    // Resumed before the audio came: it plays as if never paused.
    engine->say(u"Early"_s);
    engine->pause();
    engine->resume();
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);

    // Synthesizing has nothing to pause.
    mEnvironment->setScenario(speech(0.2));
    engine->synthesize(u"Quiet"_s);
    engine->pause();
    QCOMPARE(engine->state(), TextToSpeechState::Synthesizing);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(states(spy),
             QStringList({u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s, u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s,
                          u"Synthesizing"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroAudio::volumeChangesWhatIsPlayed()
{
    const double loud = rootMeanSquare(playAndRecord(speech(1.0)));
    const double quiet = rootMeanSquare(playAndRecord(speech(1.0), 0.5));
    // 0.5 on the perceptual scale is far less than half the linear amplitude.
    QVERIFY2(quiet > 0 && quiet < loud / 3, qPrintable(u"loud %1, quiet %2"_s.arg(loud).arg(quiet)));

    TextToSpeechKokoro engine;
    QVERIFY(engine.setVolume(0.5));
    QVERIFY(!engine.setVolume(1.2));
    QCOMPARE(engine.volume(), 0.5);
}

void tst_TextToSpeechKokoroAudio::volumeDuringPlayback()
{
    QTemporaryDir dir;
    const QString wav = dir.filePath(u"recorded.wav"_s);
    QVERIFY(mServer->startRecording(wav));
    QTest::qWait(300);
    auto engine = startEngine(speech(2.0));
    engine->say(u"Fading"_s);
    QTest::qWait(1000);
    QVERIFY(engine->setVolume(0.3));
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);
    mServer->stopRecording();

    // The first and the last quarter second of the tone, as recorded.
    Recording recording = readRecording(wav);
    const qsizetype quarter = recording.rate / 4;
    qsizetype first = 0;
    while (first < recording.samples.size() && qAbs(recording.samples.at(first)) < 1000)
        ++first;
    qsizetype last = recording.samples.size() - 1;
    while (last > first && qAbs(recording.samples.at(last)) < 100)
        --last;
    QVERIFY(last - first > 4 * quarter);
    Recording start = recording;
    start.samples = recording.samples.mid(first, quarter);
    Recording end = recording;
    end.samples = recording.samples.mid(last - quarter, quarter);
    QVERIFY2(rootMeanSquare(end) < rootMeanSquare(start) / 3,
             qPrintable(u"%1 then %2"_s.arg(rootMeanSquare(start)).arg(rootMeanSquare(end))));
}

void tst_TextToSpeechKokoroAudio::errorWithoutIdDuringPlayback()
{
    auto engine = startEngine(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(1.0)
                              + R"(,{"frame":{"type":"error","message":"voice file damaged"}},)" + endAction + "]}}");
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Kokoro error:"_s));
    QElapsedTimer timer;
    timer.start();
    engine->say(u"Goes on"_s);
    QTRY_COMPARE(errors.count(), 1);
    QVERIFY(timer.elapsed() < 800);
    QCOMPARE(errors.at(0).at(1).toString(), u"voice file damaged"_s);
    QCOMPARE(engine->state(), TextToSpeechState::Error);
    // The audio plays on, and its end clears the error.
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
    QVERIFY(timer.elapsed() >= 900);
    QVERIFY(engine->errorString().isEmpty());
    QCOMPARE(states(spy), QStringList({u"Speaking"_s, u"Error"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroAudio::secondFormatReopensSink()
{
    // Two seconds arrive at once, but what the sink has not taken when the second format
    // comes is dropped: the request lasts about as long as one of its last 0.3 s alone.
    auto engine = startEngine(speech(0.3));
    qint64 elapsed[2] = {};
    for (qint64 &time : elapsed) {
        QElapsedTimer timer;
        timer.start();
        engine->say(u"Tone"_s);
        QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);
        time = timer.elapsed();
        mEnvironment->setScenario(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(2.0) + "," + formatAction + ","
                                  + audioAction(0.3) + "," + endAction + "]}}");
    }
    QVERIFY2(elapsed[1] < elapsed[0] + 700,
             qPrintable(u"0.3 s alone in %1 ms, after a second format in %2 ms"_s.arg(elapsed[0]).arg(elapsed[1])));
}

void tst_TextToSpeechKokoroAudio::stopDuringPlayback()
{
    auto engine = startEngine(speech(2.0));
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->say(u"Stop me"_s);
    QTest::qWait(300);
    engine->stop();
    QCOMPARE(engine->state(), TextToSpeechState::Ready);
    QTest::qWait(300);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(states(spy), QStringList({u"Speaking"_s, u"Ready"_s}));
    QTRY_VERIFY(mEnvironment->recorded().endsWith(R"({"cmd":"cancel","id":1})"
                                                  "\n"));
}

void tst_TextToSpeechKokoroAudio::helperKilledWhileSpeaking()
{
    auto engine = startEngine(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(0.5) + R"(,{"stall":true}]}})");
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->say(u"Killed"_s);
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    QTest::qWait(200);
    QCOMPARE(::kill(pid_t(mEnvironment->pids().constFirst()), SIGKILL), 0);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<QTextToSpeech::ErrorReason>(), QTextToSpeech::ErrorReason::Playback);
    QCOMPARE(errors.at(0).at(1).toString(), u"The Kokoro backend stopped unexpectedly."_s);

    mEnvironment->setScenario(speech(0.2));
    engine->say(u"Again"_s);
    QCOMPARE(engine->state(), TextToSpeechState::Speaking);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
    QCOMPARE(mEnvironment->pids().size(), 2);
    QVERIFY(mEnvironment->recorded().contains(R"("id":2)"));
}

void tst_TextToSpeechKokoroAudio::helperExitingZeroWhileSpeaking()
{
    auto engine = startEngine(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(1.0) + R"(,{"exit":0}]}})");
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->say(u"Bye"_s);
    QTRY_COMPARE(states(spy), QStringList({u"Speaking"_s, u"Ready"_s}));
    QCOMPARE(errors.count(), 0);
}

void tst_TextToSpeechKokoroAudio::destructionWhileSpeaking()
{
    auto engine = startEngine(speech(3.0));
    QSignalSpy spy(engine.get(), &TextToSpeechKokoro::stateChanged);
    engine->say(u"Long"_s);
    QTest::qWait(500);
    QCOMPARE(engine->state(), TextToSpeechState::Speaking);
    QElapsedTimer timer;
    timer.start();
    engine.reset();
    QVERIFY(timer.elapsed() < 1500);
    QCOMPARE(spy.count(), 1);
    QVERIFY(mEnvironment->recorded().endsWith("{\"cmd\": \"quit\"}\n"));
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroAudio)
#include "tst_texttospeechkokoroaudio.moc"
