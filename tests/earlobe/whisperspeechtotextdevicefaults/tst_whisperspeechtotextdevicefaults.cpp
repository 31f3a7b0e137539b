#include "fakehelperenvironment.h"
#include "processprobe.h"

#include <whisperspeechtotextdevice.h>

#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::Literals::StringLiterals;

using DeviceInfo = WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo;

namespace
{
// AddressSanitizer keeps freed blocks in quarantine, so the peak resident size then tells
// about its allocator and not about what the host buffers.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitizerRuns = true;
#else
constexpr bool AddressSanitizerRuns = false;
#endif

const QString stoppedText = u"The whisper backend stopped unexpectedly."_s;

QByteArray startLine(int id)
{
    return R"({"cmd":"start","id":)" + QByteArray::number(id) + R"(,"partials":true,"sampleFormat":"int16"})" + '\n';
}

// The helper that takes over after a fault: it answers "stop" like a healthy one.
const QByteArray healthyScenario =
    R"({"commands":{"stop":[{"frame":{"type":"final","id":"$id","text":"again"}},{"frame":{"type":"end","id":"$id"}}]}})";
} // namespace

// Every signal of the device, in the order they came, as "kind:text".
class SignalLog : public QObject
{
public:
    explicit SignalLog(WhisperSpeechToTextDevice *device)
    {
        connect(device, &WhisperSpeechToTextDevice::partialResult, this, [this](const QString &t) {
            mEntries.append("partial:"_L1 + t);
        });
        connect(device, &WhisperSpeechToTextDevice::result, this, [this](const QString &t) {
            mEntries.append("result:"_L1 + t);
        });
        connect(device, &WhisperSpeechToTextDevice::doneListening, this, [this] {
            mEntries.append(u"done"_s);
        });
        connect(device, &WhisperSpeechToTextDevice::errorOccurred, this, [this](const QString &t) {
            mEntries.append("error:"_L1 + t);
        });
    }
    QStringList mEntries;
};

class tst_WhisperSpeechToTextDeviceFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void stallMidFrameKeepsHostResponsive();
    void floodWithoutLineFeedsStaysBounded();
    void helperEndsAtEveryStep_data();
    void helperEndsAtEveryStep();
    void manyRestartsLeakNothing();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextDeviceFaults::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
}

void tst_WhisperSpeechToTextDeviceFaults::cleanup()
{
    mEnvironment.reset();
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
}

void tst_WhisperSpeechToTextDeviceFaults::stallMidFrameKeepsHostResponsive()
{
    // Half a "final" header, then nothing ever again: no reading, no exit, no quit.
    const QByteArray scenario = R"({"commands":{"start":[{"raw":"{\"type\":\"final\",\"id\":1,\"te"},{"stall":true}]}})";
    QVERIFY(mEnvironment->setScenario(scenario));
    DeviceInfo info;
    info.partials = true;
    auto device = std::make_unique<WhisperSpeechToTextDevice>();
    SignalLog log(device.get());
    QVERIFY(device->initialize(std::move(info)));
    device->clear();
    QTRY_VERIFY(mEnvironment->recorded().contains(startLine(1)));
    const qint64 pid = mEnvironment->pids().value(0);

    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&ticks] {
        ++ticks;
    });
    timer.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 10, 2000);

    // The helper reads nothing: 8 MiB of audio must still be taken at once, never block.
    QElapsedTimer calls;
    calls.start();
    const QByteArray audio(256 * 1024, 'a');
    for (int i = 0; i < 32; ++i)
        QCOMPARE(device->write(audio), qint64(audio.size()));
    device->finish();
    device->clear();
    QVERIFY(device->available());
    QVERIFY2(calls.elapsed() < 1000, qPrintable(QString::number(calls.elapsed())));
    const int ticksBefore = ticks;
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= ticksBefore + 10, 2000);
    QVERIFY(log.mEntries.isEmpty());

    // Teardown: 2000 ms for the helper to quit, then a kill and up to 1000 ms more.
    QElapsedTimer teardown;
    teardown.start();
    device.reset();
    const qint64 elapsed = teardown.elapsed();
    QVERIFY2(elapsed >= 1900 && elapsed < 3000 + 500, qPrintable(QString::number(elapsed)));
    QVERIFY(ProcessProbe::processGone(pid));
    QCOMPARE(ProcessProbe::children(), 0);
    QVERIFY(log.mEntries.isEmpty());
}

void tst_WhisperSpeechToTextDeviceFaults::floodWithoutLineFeedsStaysBounded()
{
    // 32 MiB that can never be a frame; a line feed ends the garbage, and a real reply after
    // it must still be heard.
    const QByteArray scenario = R"({"startup":[{"flood":33554432},{"raw":"\n"},)"
                                R"({"frame":{"type":"error","message":"after the flood"}},{"exit":3}]})";
    QVERIFY(mEnvironment->setScenario(scenario));
    QVERIFY(ProcessProbe::resetPeakResidentSize());
    const qint64 peakBefore = ProcessProbe::peakResidentSizeKiB();
    auto device = std::make_unique<WhisperSpeechToTextDevice>();
    SignalLog log(device.get());
    QVERIFY(device->initialize({}));
    QTRY_VERIFY_WITH_TIMEOUT(log.mEntries.contains("error:"_L1 + stoppedText), 30000);
    const qint64 growth = ProcessProbe::peakResidentSizeKiB() - peakBefore;
    if (!AddressSanitizerRuns)
        QVERIFY2(growth < 8 * 1024, qPrintable(u"peak grew by %1 KiB"_s.arg(growth)));
    QCOMPARE(log.mEntries, QStringList({u"error:after the flood"_s, "error:"_L1 + stoppedText}));

    QVERIFY(mEnvironment->setScenario(healthyScenario));
    device->clear();
    device->finish();
    QTRY_VERIFY(log.mEntries.contains(u"done"_s));
    QCOMPARE(log.mEntries.mid(2), QStringList({u"result:again"_s, u"done"_s}));
}

void tst_WhisperSpeechToTextDeviceFaults::helperEndsAtEveryStep_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QStringList>("before");

    const QString stopped = "error:"_L1 + stoppedText;
    QTest::newRow("killed before ready") << R"({"startup":[{"signal":9}]})"_ba << QStringList{stopped};
    QTest::newRow("killed after start")
        << R"({"startup":[{"frame":{"type":"ready","available":true}}],"commands":{"start":[{"signal":9}]}})"_ba << QStringList{stopped};
    QTest::newRow("killed mid-audio") << R"({"commands":{"audio":[{"frame":{"type":"partial","id":"$id","text":"half"}},{"signal":9}]}})"_ba
                                      << QStringList{u"partial:half"_s, stopped};
    const QByteArray halfFinal = R"({"commands":{"stop":[{"raw":"{\"type\":\"final\",\"id\":1,\"text\":\"lost"},{"signal":9}]}})";
    QTest::newRow("killed mid-frame") << halfFinal << QStringList{stopped};
    QTest::newRow("killed after final, before end")
        << R"({"commands":{"stop":[{"frame":{"type":"final","id":"$id","text":"kept"}},{"signal":9}]}})"_ba
        << QStringList{u"result:kept"_s, stopped};
    QTest::newRow("closes its input at once") << R"({"startup":[{"closestdin":true},{"sleep":300}]})"_ba << QStringList{stopped};
    QTest::newRow("exits at once") << R"({"startup":[{"exit":0}]})"_ba << QStringList{stopped};
}

void tst_WhisperSpeechToTextDeviceFaults::helperEndsAtEveryStep()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QStringList, before);

    QVERIFY(mEnvironment->setScenario(scenario));
    DeviceInfo info;
    info.partials = true;
    auto device = std::make_unique<WhisperSpeechToTextDevice>();
    SignalLog log(device.get());
    QVERIFY(device->initialize(std::move(info)));
    // No event loop runs in between, so all of this reaches the first helper, whatever it
    // does with it; a helper that no longer reads must not make a write block.
    device->clear();
    const QByteArray audio(64 * 1024, 'a');
    for (int i = 0; i < 16; ++i)
        QCOMPARE(device->write(audio), qint64(audio.size()));
    device->finish();
    QTRY_VERIFY_WITH_TIMEOUT(log.mEntries.contains(before.last()), 10000);
    QTest::qWait(300);
    QCOMPARE(log.mEntries, before);
    const qint64 firstPid = mEnvironment->pids().value(0);
    QVERIFY(ProcessProbe::processGone(firstPid));
    QVERIFY(!device->available());

    QVERIFY(mEnvironment->setScenario(healthyScenario));
    device->clear();
    device->write("ab");
    device->finish();
    QTRY_VERIFY(log.mEntries.contains(u"done"_s));
    QCOMPARE(log.mEntries.mid(before.size()), QStringList({u"result:again"_s, u"done"_s}));
    QCOMPARE(mEnvironment->pids().size(), 2);
    QVERIFY(mEnvironment->recorded().contains(startLine(2)));
}

void tst_WhisperSpeechToTextDeviceFaults::manyRestartsLeakNothing()
{
    // A shell stands in for python so that 200 starts take seconds, not minutes.
    const QString python = mEnvironment->home() + "/.venv/whisper/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QVERIFY(QFile::link(u"/bin/sh"_s, python));
    QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->binDir() + "/whisper_helper.py"_L1, "exit 3\n"));

    auto device = std::make_unique<WhisperSpeechToTextDevice>();
    QSignalSpy errors(device.get(), &WhisperSpeechToTextDevice::errorOccurred);
    // One round first, so that what Qt opens once for all processes is counted before.
    device->clear();
    QVERIFY(errors.wait(5000));
    QTest::qWait(50);
    const int descriptorsBefore = ProcessProbe::openFileDescriptors();

    // 200 identical warnings say nothing more than the error count below.
    QLoggingCategory::setFilterRules(u"*.warning=false"_s);
    auto restoreWarnings = qScopeGuard([] {
        QLoggingCategory::setFilterRules({});
    });
    constexpr int Restarts = 200;
    for (int i = 1; i <= Restarts; ++i) {
        device->clear();
        QVERIFY2(errors.size() > i || errors.wait(5000), qPrintable(QString::number(i)));
    }
    QTest::qWait(100);
    QCOMPARE(errors.size(), Restarts + 1);
    for (const QList<QVariant> &error : std::as_const(errors))
        QCOMPARE(error.at(0).toString(), stoppedText);
    QCOMPARE(ProcessProbe::openFileDescriptors(), descriptorsBefore);
    QCOMPARE(ProcessProbe::zombieChildren(), 0);
    QCOMPARE(ProcessProbe::children(), 0);
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextDeviceFaults)
#include "tst_whisperspeechtotextdevicefaults.moc"
