#include "fakehelperenvironment.h"
#include "processprobe.h"

#include <kokoroframedecoder.h>
#include <texttospeechkokoro.h>

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
// AddressSanitizer keeps freed blocks in quarantine, so the peak resident size then tells
// about its allocator and not about what the host buffers.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizerRuns = true;
#else
constexpr bool AddressSanitizerRuns = false;
#endif

const QString stoppedText = u"The Kokoro backend stopped unexpectedly."_s;

// The helper that takes over after a fault: one format, one chunk of 64 bytes, the end.
const QByteArray healthyScenario = R"({"commands":{"say":[)"
                                   R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}},)"
                                   R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":64},{"frame":{"type":"end","id":"$id"}}]}})";

QByteArray sayPrefix(int id)
{
    return R"({"cmd":"say","id":)" + QByteArray::number(id) + ',';
}
} // namespace

class tst_TextToSpeechKokoroFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void stallMidFrameKeepsHostResponsive();
    void decoderDropsOverlongLines();
    void floodWithoutLineFeedsStaysBounded();
    void helperEndsAtEveryStep_data();
    void helperEndsAtEveryStep();
    void manyRestartsLeakNothing();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_TextToSpeechKokoroFaults::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoroFaults::cleanup()
{
    mEnvironment.reset();
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
}

void tst_TextToSpeechKokoroFaults::stallMidFrameKeepsHostResponsive()
{
    // A chunk header announcing 100 bytes, 10 of them, then nothing ever again.
    const QByteArray scenario = R"({"commands":{"say":[)"
                                R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}},)"
                                R"({"raw":"{\"type\":\"chunk\",\"id\":1,\"size\":100}\n0123456789"},{"stall":true}]}})";
    QVERIFY(mEnvironment->setScenario(scenario));
    auto engine = std::make_unique<TextToSpeechKokoro>();
    QSignalSpy synthesized(engine.get(), &TextToSpeechKokoro::synthesized);
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->synthesize(u"Hello"_s);
    QTRY_VERIFY(mEnvironment->recorded().contains(sayPrefix(1)));
    const qint64 pid = mEnvironment->pids().value(0);

    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&ticks] {
        ++ticks;
    });
    timer.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 10, 2000);

    QElapsedTimer calls;
    calls.start();
    for (int i = 0; i < 50; ++i) {
        engine->synthesize(u"Again"_s);
        engine->stop();
    }
    engine->synthesize(u"Once more"_s);
    QCOMPARE(engine->state(), TextToSpeechState::Synthesizing);
    QVERIFY2(calls.elapsed() < 1000, qPrintable(QString::number(calls.elapsed())));
    const int ticksBefore = ticks;
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= ticksBefore + 10, 2000);
    QCOMPARE(synthesized.size(), 0);
    QCOMPARE(errors.size(), 0);

    QSignalSpy states(engine.get(), &TextToSpeechKokoro::stateChanged);
    QElapsedTimer teardown;
    teardown.start();
    engine.reset();
    const qint64 elapsed = teardown.elapsed();
    // 2000 ms for the helper to quit, then a kill and up to 1000 ms more.
    QVERIFY2(elapsed >= 1900 && elapsed < 3000 + 500, qPrintable(QString::number(elapsed)));
    QVERIFY(ProcessProbe::processGone(pid));
    QCOMPARE(ProcessProbe::children(), 0);
    QCOMPARE(states.size(), 0);
    QCOMPARE(errors.size(), 0);
}

void tst_TextToSpeechKokoroFaults::decoderDropsOverlongLines()
{
    KokoroFrameDecoder decoder;
    const QByteArray garbage(64 * 1024, 'x');
    qsizetype mostBuffered = 0;
    for (int i = 0; i < 512; ++i) {
        QVERIFY(decoder.decode(garbage).isEmpty());
        mostBuffered = qMax(mostBuffered, decoder.bufferedBytes());
    }
    QVERIFY2(mostBuffered <= 2 * 1024 * 1024, qPrintable(QString::number(mostBuffered)));
    // The garbage ends at the next line feed; what follows is read as frames again, also
    // when the line feed arrives together with the rest of the garbage.
    const QList<KokoroFrameDecoder::Frame> frames = decoder.decode(garbage + "\n" + R"({"type":"end","id":3})" + "\n");
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.at(0).header.value("type"_L1).toString(), u"end"_s);
    QCOMPARE(decoder.bufferedBytes(), 0);

    // One read holding an overlong line gives what many reads give: nothing for that line.
    KokoroFrameDecoder oneRead;
    const QList<KokoroFrameDecoder::Frame> whole =
        oneRead.decode(QByteArray(3 * 1024 * 1024, 'x') + "\n" + R"({"type":"end","id":3})" + "\n");
    QCOMPARE(whole.size(), 1);
    QCOMPARE(whole.at(0).header, frames.at(0).header);
}

void tst_TextToSpeechKokoroFaults::floodWithoutLineFeedsStaysBounded()
{
    const QByteArray scenario = R"({"commands":{"say":[{"flood":33554432},{"raw":"\n"},)"
                                R"({"frame":{"type":"error","message":"after the flood"}},{"exit":3}]}})";
    QVERIFY(mEnvironment->setScenario(scenario));
    QVERIFY(ProcessProbe::resetPeakResidentSize());
    const qint64 peakBefore = ProcessProbe::peakResidentSizeKiB();
    auto engine = std::make_unique<TextToSpeechKokoro>();
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 2, 30000);
    const qint64 growth = ProcessProbe::peakResidentSizeKiB() - peakBefore;
    if (!AddressSanitizerRuns)
        QVERIFY2(growth < 8 * 1024, qPrintable(u"peak grew by %1 KiB"_s.arg(growth)));
    QCOMPARE(errors.at(0).at(1).toString(), u"after the flood"_s);
    QCOMPARE(errors.at(1).at(0).value<QTextToSpeech::ErrorReason>(), QTextToSpeech::ErrorReason::Playback);
    QCOMPARE(errors.at(1).at(1).toString(), stoppedText);

    QVERIFY(mEnvironment->setScenario(healthyScenario));
    QSignalSpy synthesized(engine.get(), &TextToSpeechKokoro::synthesized);
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(synthesized.size(), 1);
}

void tst_TextToSpeechKokoroFaults::helperEndsAtEveryStep_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<bool>("reportsError");

    const QByteArray format = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}})";
    QTest::newRow("killed before format") << R"({"commands":{"say":[{"signal":9}]}})"_ba << 0 << true;
    const QByteArray midChunk =
        R"({"commands":{"say":[)" + format + R"(,{"raw":"{\"type\":\"chunk\",\"id\":1,\"size\":100}\n0123"},{"signal":9}]}})";
    QTest::newRow("killed mid-chunk") << midChunk << 0 << true;
    QTest::newRow("killed before end") << R"({"commands":{"say":[)" + format
            + R"(,{"frame":{"type":"chunk","id":"$id"},"payloadBytes":64},{"signal":9}]}})"
                                       << 1 << true;
    QTest::newRow("killed at start") << R"({"startup":[{"signal":9}]})"_ba << 0 << true;
    // Ending with code 0 is a normal end of the helper, which ends the request quietly.
    QTest::newRow("closes its input at once") << R"({"startup":[{"closestdin":true},{"sleep":300}]})"_ba << 0 << false;
    QTest::newRow("exits at once with 0") << R"({"startup":[{"exit":0}]})"_ba << 0 << false;
    QTest::newRow("exits at once with 1") << R"({"startup":[{"exit":1}]})"_ba << 0 << true;
}

void tst_TextToSpeechKokoroFaults::helperEndsAtEveryStep()
{
    QFETCH(QByteArray, scenario);
    QFETCH(int, chunks);
    QFETCH(bool, reportsError);

    QVERIFY(mEnvironment->setScenario(scenario));
    auto engine = std::make_unique<TextToSpeechKokoro>();
    QSignalSpy synthesized(engine.get(), &TextToSpeechKokoro::synthesized);
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    engine->synthesize(u"Hello"_s);
    QTRY_VERIFY_WITH_TIMEOUT(engine->state() != TextToSpeechState::Synthesizing, 10000);
    QTest::qWait(300);
    QCOMPARE(synthesized.size(), chunks);
    QCOMPARE(errors.size(), reportsError ? 1 : 0);
    if (reportsError) {
        QCOMPARE(engine->state(), TextToSpeechState::Error);
        QCOMPARE(errors.at(0).at(0).value<QTextToSpeech::ErrorReason>(), QTextToSpeech::ErrorReason::Playback);
        QCOMPARE(errors.at(0).at(1).toString(), stoppedText);
    } else {
        QCOMPARE(engine->state(), TextToSpeechState::Ready);
    }
    QVERIFY(ProcessProbe::processGone(mEnvironment->pids().value(0)));

    QVERIFY(mEnvironment->setScenario(healthyScenario));
    engine->synthesize(u"Hello again"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(synthesized.size(), chunks + 1);
    QCOMPARE(errors.size(), reportsError ? 1 : 0);
    QCOMPARE(mEnvironment->pids().size(), 2);
    QVERIFY(mEnvironment->recorded().contains(sayPrefix(2)));
}

void tst_TextToSpeechKokoroFaults::manyRestartsLeakNothing()
{
    // A shell stands in for python so that 200 starts take seconds, not minutes.
    const QString python = mEnvironment->home() + "/.venv/kokoro/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QVERIFY(QFile::link(u"/bin/sh"_s, python));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->binDir() + "/kokoro_helper.py"_L1, "exit 3\n"));

    auto engine = std::make_unique<TextToSpeechKokoro>();
    QSignalSpy errors(engine.get(), &TextToSpeechKokoro::errorOccurred);
    // One round first, so that what Qt opens once for all processes is counted before.
    engine->synthesize(u"Hello"_s);
    QVERIFY(errors.wait(5000));
    QTest::qWait(50);
    const int descriptorsBefore = ProcessProbe::openFileDescriptors();

    constexpr int Restarts = 200;
    for (int i = 1; i <= Restarts; ++i) {
        engine->synthesize(u"Hello"_s);
        QVERIFY2(errors.size() > i || errors.wait(5000), qPrintable(QString::number(i)));
    }
    QTest::qWait(100);
    QCOMPARE(errors.size(), Restarts + 1);
    for (const QList<QVariant> &error : std::as_const(errors))
        QCOMPARE(error.at(1).toString(), stoppedText);
    QCOMPARE(ProcessProbe::openFileDescriptors(), descriptorsBefore);
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
    QCOMPARE(ProcessProbe::children(), 0);
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroFaults)
#include "tst_texttospeechkokorofaults.moc"
