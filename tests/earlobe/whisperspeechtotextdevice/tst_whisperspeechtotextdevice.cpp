#include "fakehelperenvironment.h"

#include <whisperspeechtotextdevice.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;

using DeviceInfo = WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo;

namespace
{
QByteArray lf(const char *line)
{
    return QByteArray(line) + '\n';
}

const QByteArray quitLine = lf(R"({"cmd":"quit"})");
const QString stoppedText = u"The whisper backend stopped unexpectedly."_s;

QByteArray startLine(int id, bool partials)
{
    return R"({"cmd":"start","id":)" + QByteArray::number(id) + R"(,"partials":)" + (partials ? "true" : "false")
        + lf(R"(,"sampleFormat":"int16"})");
}

QByteArray commandLine(const char *name, int id)
{
    return R"({"cmd":")" + QByteArray(name) + R"(","id":)" + QByteArray::number(id) + "}\n";
}

QByteArray audioFrame(int id, const QByteArray &payload)
{
    return R"({"cmd":"audio","id":)" + QByteArray::number(id) + R"(,"size":)" + QByteArray::number(payload.size()) + "}\n" + payload;
}

// A scenario whose helper answers "start" with the given actions, then a sentinel error that
// tells the test every reply before it was handled.
QByteArray answerStartWith(const QByteArray &actions)
{
    return R"({"commands":{"start":[)" + actions + R"(,{"frame":{"type":"error","message":"sentinel"}}]}})";
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

QStringList compactFrames(const QList<QJsonObject> &frames)
{
    QStringList result;
    for (const QJsonObject &frame : frames)
        result.append(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
    return result;
}
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
    [[nodiscard]] QStringList entries() const
    {
        return mEntries;
    }
    [[nodiscard]] bool sawSentinel() const
    {
        return mEntries.contains(u"error:sentinel"_s);
    }
    [[nodiscard]] QStringList beforeSentinel() const
    {
        return mEntries.mid(0, mEntries.indexOf(u"error:sentinel"_s));
    }

private:
    QStringList mEntries;
};

class tst_WhisperSpeechToTextDevice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void takeFrames_data();
    void takeFrames();
    void takeFramesInAnyReadSizes();

    void deviceBasics();
    void debugOutput();

    void commands_data();
    void commands();
    void settingsReachHelperIntact();
    void initializeTwiceKeepsHelper();

    void replies_data();
    void replies();
    void readyWithMissingPackages_data();
    void readyWithMissingPackages();
    void lateRepliesOfStoppedUtterance();
    void repliesOfEarlierUtteranceDropped();
    void hugeSizeHoldsBackLaterReplies();

    void missingEnvironment_data();
    void missingEnvironment();
    void availableBeforeReady();
    void killedHelperIsReportedAndRestarted();
    void exitOnItsOwnIsReported();
    void destructionQuitsHelper();
    void helperIgnoringQuitIsKilled();

private:
    std::unique_ptr<WhisperSpeechToTextDevice> startDevice(const QByteArray &scenario, DeviceInfo info = {});
    void runOperations(WhisperSpeechToTextDevice *device, const QStringList &operations);

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextDevice::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
}

void tst_WhisperSpeechToTextDevice::cleanup()
{
    mEnvironment.reset();
}

std::unique_ptr<WhisperSpeechToTextDevice> tst_WhisperSpeechToTextDevice::startDevice(const QByteArray &scenario, DeviceInfo info)
{
    if (!mEnvironment->setScenario(scenario))
        return {};
    auto device = std::make_unique<WhisperSpeechToTextDevice>();
    if (!device->initialize(std::move(info)))
        return {};
    return device;
}

// "clear", "finish" or "write:<bytes>" (an empty write with "write:").
void tst_WhisperSpeechToTextDevice::runOperations(WhisperSpeechToTextDevice *device, const QStringList &operations)
{
    for (const QString &operation : operations) {
        if (operation == "clear"_L1) {
            device->clear();
        } else if (operation == "finish"_L1) {
            device->finish();
        } else if (operation.startsWith("write:"_L1)) {
            const QByteArray bytes = operation.mid(6).toUtf8();
            QCOMPARE(device->write(bytes), qint64(bytes.size()));
        } else {
            QFAIL(qPrintable("unknown operation "_L1 + operation));
        }
    }
}

void tst_WhisperSpeechToTextDevice::takeFrames_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("two complete, half a third") << lf(R"({"type":"a"})") + lf(R"({"type":"b"})") + R"({"type":)"_ba
                                                << QStringList{uR"({"type":"a"})"_s, uR"({"type":"b"})"_s} << R"({"type":)"_ba;
    QTest::newRow("payload not there yet") << lf(R"({"size":4,"type":"x"})") + "ab" << QStringList()
                                           << lf(R"({"size":4,"type":"x"})") + "ab";
    QTest::newRow("payload with line feeds is skipped") << lf(R"({"size":4,"type":"x"})") + "a\n\nb" + lf(R"({"type":"y"})")
                                                        << QStringList{uR"({"size":4,"type":"x"})"_s, uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("size -5 means no payload") << lf(R"({"size":-5,"type":"x"})") + lf(R"({"type":"y"})")
                                              << QStringList{uR"({"size":-5,"type":"x"})"_s, uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("size 2.5 means no payload") << lf(R"({"size":2.5,"type":"x"})") + lf(R"({"type":"y"})")
                                               << QStringList{uR"({"size":2.5,"type":"x"})"_s, uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("size as string means no payload") << lf(R"({"size":"7","type":"x"})") + lf(R"({"type":"y"})")
                                                     << QStringList{uR"({"size":"7","type":"x"})"_s, uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("empty line") << "\n" + lf(R"({"type":"y"})") << QStringList{uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("not JSON") << "not json\n" + lf(R"({"type":"y"})") << QStringList{uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("not an object") << "[1,2]\n\"text\"\n42\n" + lf(R"({"type":"y"})") << QStringList{uR"({"type":"y"})"_s} << QByteArray();
    QTest::newRow("empty object") << "{}\n"_ba << QStringList() << QByteArray();
    QTest::newRow("no line feed") << R"({"type":"y"})"_ba << QStringList() << R"({"type":"y"})"_ba;
    QTest::newRow("one payload byte missing") << lf(R"({"size":3,"type":"x"})") + "ab" << QStringList()
                                              << lf(R"({"size":3,"type":"x"})") + "ab";
    QTest::newRow("largest 64-bit size") << lf(R"({"size":9223372036854775807,"type":"x"})") + lf(R"({"type":"y"})") << QStringList()
                                         << lf(R"({"size":9223372036854775807,"type":"x"})") + lf(R"({"type":"y"})");
    QTest::newRow("size just below the largest") << lf(R"({"size":9223372036854775806,"type":"x"})") + "abc" << QStringList()
                                                 << lf(R"({"size":9223372036854775806,"type":"x"})") + "abc";
    QTest::newRow("empty buffer") << QByteArray() << QStringList() << QByteArray();
}

void tst_WhisperSpeechToTextDevice::takeFrames()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, frames);
    QFETCH(QByteArray, rest);

    QByteArray buffer = input;
    QCOMPARE(compactFrames(WhisperSpeechToTextDevice::takeFrames(buffer)), frames);
    QCOMPARE(buffer, rest);
}

void tst_WhisperSpeechToTextDevice::takeFramesInAnyReadSizes()
{
    const QByteArray stream = lf(R"({"type":"ready","available":true})") + lf(R"({"type":"partial","id":1,"size":5,"text":"a"})")
        + "\n\n{}\n" // the five payload bytes, which look like frames but are not
        + "garbage\n" + lf(R"({"type":"final","id":1,"text":"ü"})") + "\n" + lf(R"({"type":"end","id":1,"size":1})") + "x";
    QByteArray whole = stream;
    const QStringList expected = compactFrames(WhisperSpeechToTextDevice::takeFrames(whole));
    QCOMPARE(expected.size(), 4);
    QVERIFY(whole.isEmpty());

    for (int readSize = 1; readSize <= stream.size(); ++readSize) {
        QByteArray buffer;
        QStringList frames;
        for (qsizetype position = 0; position < stream.size(); position += readSize) {
            buffer.append(stream.mid(position, readSize));
            frames += compactFrames(WhisperSpeechToTextDevice::takeFrames(buffer));
        }
        QCOMPARE(frames, expected);
        QVERIFY(buffer.isEmpty());
    }
}

void tst_WhisperSpeechToTextDevice::deviceBasics()
{
    WhisperSpeechToTextDevice device;
    QVERIFY(device.isOpen());
    QCOMPARE(device.openMode(), QIODevice::ReadWrite);
    QVERIFY(device.isSequential());
    char data[4];
    QCOMPARE(device.read(data, sizeof data), qint64(0));
    QVERIFY(!device.available());
    QCOMPARE(device.info().partials, false);
    QVERIFY(device.info().model.isEmpty());
}

void tst_WhisperSpeechToTextDevice::debugOutput()
{
    QString text;
    QDebug(&text) << DeviceInfo{u"tiny"_s, u"de"_s, u"int8"_s, u"cpu"_s, u"say \"hi\""_s, true};
    QCOMPARE(text, uR"( model "tiny" language "de" computeType "int8" device "cpu" prompt "say \"hi\"" partials true )"_s);
}

void tst_WhisperSpeechToTextDevice::commands_data()
{
    QTest::addColumn<bool>("partials");
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("first utterance") << true << QStringList{u"clear"_s} << startLine(1, true);
    QTest::newRow("partials off") << false << QStringList{u"clear"_s} << startLine(1, false);
    QTest::newRow("audio and stop") << true << QStringList{u"clear"_s, u"write:abcd"_s, u"write:ü"_s, u"finish"_s}
                                    << startLine(1, true) + audioFrame(1, "abcd") + audioFrame(1, "ü") + commandLine("stop", 1);
    QTest::newRow("one byte write") << true << QStringList{u"clear"_s, u"write:x"_s} << startLine(1, true) + audioFrame(1, "x");
    QTest::newRow("zero byte write") << true << QStringList{u"clear"_s, u"write:"_s} << startLine(1, true);
    QTest::newRow("clear twice cancels") << true << QStringList{u"clear"_s, u"clear"_s}
                                         << startLine(1, true) + commandLine("cancel", 1) + startLine(2, true);
    QTest::newRow("clear finish clear") << true << QStringList{u"clear"_s, u"finish"_s, u"clear"_s}
                                        << startLine(1, true) + commandLine("stop", 1) + startLine(2, true);
    QTest::newRow("finish without utterance") << true << QStringList{u"finish"_s} << QByteArray();
    QTest::newRow("finish twice") << true << QStringList{u"clear"_s, u"finish"_s, u"finish"_s}
                                  << startLine(1, true) + commandLine("stop", 1);
    QTest::newRow("audio outside an utterance is dropped")
        << true << QStringList{u"write:early"_s, u"clear"_s, u"finish"_s, u"write:late"_s} << startLine(1, true) + commandLine("stop", 1);
}

void tst_WhisperSpeechToTextDevice::commands()
{
    QFETCH(bool, partials);
    QFETCH(QStringList, operations);
    QFETCH(QByteArray, expected);

    DeviceInfo info;
    info.partials = partials;
    auto device = startDevice("{}", std::move(info));
    QVERIFY(device);
    runOperations(device.get(), operations);
    // Destruction waits for the helper to end, so everything written has been recorded then.
    device.reset();
    QCOMPARE(mEnvironment->recorded(), expected + quitLine);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"serve"_s});
}

void tst_WhisperSpeechToTextDevice::settingsReachHelperIntact()
{
    const QString prompt = u"He said \"ja\\nein\"\nthen\ttabbed: 🎙 Grüße"_s;
    const QString language = u"d\"e\\\n"_s;
    // The fake sends the prompt and the language back as it decoded them.
    auto device = startDevice(R"({"commands":{"start":[{"frame":{"type":"final","id":"$id","text":"$prompt"}},)"
                              R"({"frame":{"type":"error","message":"$language"}}]}})",
                              DeviceInfo{u"tiny.en"_s, language, u"int8"_s, u"cpu"_s, prompt, false});
    QVERIFY(device);
    QSignalSpy results(device.get(), &WhisperSpeechToTextDevice::result);
    QSignalSpy errors(device.get(), &WhisperSpeechToTextDevice::errorOccurred);
    device->clear();
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toString(), prompt);
    QCOMPARE(errors.at(0).at(0).toString(), language);

    device.reset();
    const QList<QByteArray> lines = mEnvironment->recorded().split('\n');
    QCOMPARE(lines.size(), 3); // start, quit, and what follows the last line feed
    const QJsonObject start = QJsonDocument::fromJson(lines.at(0)).object();
    QCOMPARE(start.value("model"_L1).toString(), u"tiny.en"_s);
    QCOMPARE(start.value("computeType"_L1).toString(), u"int8"_s);
    QCOMPARE(start.value("device"_L1).toString(), u"cpu"_s);
    QCOMPARE(start.value("prompt"_L1).toString(), prompt);
    QCOMPARE(start.value("language"_L1).toString(), language);
}

void tst_WhisperSpeechToTextDevice::initializeTwiceKeepsHelper()
{
    auto device = startDevice("{}", DeviceInfo{u"tiny"_s, {}, {}, {}, {}, false});
    QVERIFY(device);
    QVERIFY(device->initialize(DeviceInfo{u"small"_s, u"fr"_s, {}, {}, {}, true}));
    QCOMPARE(device->info().model, u"small"_s);
    device->clear();
    device.reset();
    QCOMPARE(mEnvironment->pids().size(), 1);
    QCOMPARE(mEnvironment->recorded(),
             lf(R"({"cmd":"start","id":1,"language":"fr","model":"small","partials":true,"sampleFormat":"int16"})") + quitLine);
}

void tst_WhisperSpeechToTextDevice::replies_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("partial, final and end") << R"({"frame":{"type":"partial","id":"$id","text":" hel "}},)"
                                               R"({"frame":{"type":"final","id":"$id","text":" hello "}},)"
                                               R"({"frame":{"type":"end","id":"$id"}})"_ba
                                            << QStringList{u"partial:hel"_s, u"result:hello"_s, u"done"_s};
    QTest::newRow("blank texts emit nothing") << R"({"frame":{"type":"partial","id":"$id","text":"  "}},)"
                                                 R"({"frame":{"type":"final","id":"$id","text":"\n\t "}},)"
                                                 R"({"frame":{"type":"final","id":"$id"}})"_ba
                                              << QStringList();
    QTest::newRow("end without final") << R"({"frame":{"type":"end","id":"$id"}},{"frame":{"type":"end","id":"$id"}})"_ba
                                       << QStringList{u"done"_s, u"done"_s};
    QTest::newRow("other ids are dropped") << R"({"frame":{"type":"final","id":0,"text":"zero"}},)"
                                              R"({"frame":{"type":"final","id":2,"text":"next"}},)"
                                              R"({"frame":{"type":"final","text":"none"}},)"
                                              R"({"frame":{"type":"final","id":1.5,"text":"half"}},)"
                                              R"({"frame":{"type":"end","id":4294967297}})"_ba
                                           << QStringList();
    QTest::newRow("id as string never matches") << R"({"frame":{"type":"end","id":"1"}})"_ba << QStringList();
    QTest::newRow("errors whatever their id") << R"({"frame":{"type":"error","id":0,"message":"old"}},)"
                                                 R"({"frame":{"type":"error","message":"plain"}})"_ba
                                              << QStringList{u"error:old"_s, u"error:plain"_s};
    QTest::newRow("ready that is usable emits nothing") << R"({"frame":{"type":"ready","available":true}})"_ba << QStringList();
    QTest::newRow("unknown and missing types") << R"({"frame":{"type":"progress","id":"$id"}},{"frame":{"id":"$id"}},)"
                                                  R"({"frame":{"type":5,"id":"$id"}})"_ba
                                               << QStringList();
    QTest::newRow("garbage lines are skipped") << R"({"raw":"not json\n\n[1]\n{}\n"},{"frame":{"type":"end","id":"$id"}})"_ba
                                               << QStringList{u"done"_s};
    QTest::newRow("payload of a reply is skipped")
        << R"({"raw":"{\"type\":\"final\",\"id\":1,\"text\":\"x\",\"size\":6}\n{\"a\"}\n"},{"frame":{"type":"end","id":"$id"}})"_ba
        << QStringList{u"result:x"_s, u"done"_s};
    QTest::newRow("header split across reads")
        << R"({"raw":"{\"type\":\"fi"},{"sleep":150},{"raw":"nal\",\"id\":1,\"text\":\"split\"}\n{\"type\":"},{"sleep":150},)"
           R"({"raw":"\"end\",\"id\":1}\n"})"_ba
        << QStringList{u"result:split"_s, u"done"_s};
    QTest::newRow("payload split across reads")
        << R"({"raw":"{\"type\":\"partial\",\"id\":1,\"text\":\"p\",\"size\":4}\nab"},{"sleep":150},)"
           R"({"raw":"cd{\"type\":\"end\",\"id\":1}\n"})"_ba
        << QStringList{u"partial:p"_s, u"done"_s};
    QTest::newRow("negative and fractional sizes")
        << R"({"raw":"{\"type\":\"partial\",\"id\":1,\"text\":\"a\",\"size\":-5}\n{\"type\":\"partial\",\"id\":1,\"text\":\"b\",\"size\":2.5}\n"},)"
           R"({"raw":"{\"type\":\"final\",\"id\":1,\"text\":\"c\",\"size\":\"7\"}\n"})"_ba
        << QStringList{u"partial:a"_s, u"partial:b"_s, u"result:c"_s};
}

void tst_WhisperSpeechToTextDevice::replies()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, expected);

    auto device = startDevice(answerStartWith(actions));
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    QTRY_VERIFY(log.sawSentinel());
    QCOMPARE(log.beforeSentinel(), expected);
    QVERIFY(device->available());
}

void tst_WhisperSpeechToTextDevice::readyWithMissingPackages_data()
{
    QTest::addColumn<QByteArray>("ready");
    QTest::addColumn<QString>("message");

    QTest::newRow("two missing") << R"({"type":"ready","available":false,"missing":["faster-whisper","numpy"]})"_ba
                                 << u"Whisper is not installed. Missing: faster-whisper, numpy"_s;
    QTest::newRow("non-strings count as empty")
        << R"({"type":"ready","available":false,"missing":["a",3,"b"]})"_ba << u"Whisper is not installed. Missing: a, , b"_s;
    QTest::newRow("a number is not a boolean") << R"({"type":"ready","available":1})"_ba << u"Whisper is not installed. Missing: "_s;
    QTest::newRow("availability absent") << R"({"type":"ready"})"_ba << u"Whisper is not installed. Missing: "_s;
}

void tst_WhisperSpeechToTextDevice::readyWithMissingPackages()
{
    QFETCH(QByteArray, ready);
    QFETCH(QString, message);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^whisper is not usable, missing: QList\\("_s));
    auto device = startDevice(R"({"startup":[{"frame":)" + ready + "}]}");
    QVERIFY(device);
    QSignalSpy errors(device.get(), &WhisperSpeechToTextDevice::errorOccurred);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), message);
    QVERIFY(!device->available());
}

void tst_WhisperSpeechToTextDevice::lateRepliesOfStoppedUtterance()
{
    auto device = startDevice(R"({"commands":{"stop":[{"sleep":100},{"frame":{"type":"final","id":"$id","text":"late"}},)"
                              R"({"frame":{"type":"end","id":"$id"}}]}})");
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    device->finish();
    QTRY_COMPARE(log.entries(), QStringList({u"result:late"_s, u"done"_s}));
}

void tst_WhisperSpeechToTextDevice::repliesOfEarlierUtteranceDropped()
{
    auto device = startDevice(R"({"commands":{"stop":[{"sleep":200},{"frame":{"type":"final","id":"$id","text":"old"}},)"
                              R"({"frame":{"type":"end","id":"$id"}}],)"
                              R"("start":[{"frame":{"type":"error","message":"sentinel"}}]}})");
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    device->finish();
    device->clear();
    // The second "start" is answered only after the first utterance's replies were sent.
    QTRY_COMPARE(log.entries().count(u"error:sentinel"_s), 2);
    QCOMPARE(log.entries(), QStringList({u"error:sentinel"_s, u"error:sentinel"_s}));
}

void tst_WhisperSpeechToTextDevice::hugeSizeHoldsBackLaterReplies()
{
    auto device = startDevice(answerStartWith(R"({"raw":"{\"type\":\"partial\",\"id\":1,\"text\":\"a\",\"size\":9223372036854775807}\n"},)"
                                              R"({"frame":{"type":"final","id":"$id","text":"held"}},{"sleep":300},{"exit":3})"));
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    // Everything after the oversized header waits for a payload that never comes, until the
    // helper ends and the half frame is thrown away.
    QTRY_COMPARE(log.entries(), QStringList{"error:"_L1 + stoppedText});
    QVERIFY(!device->available());
}

void tst_WhisperSpeechToTextDevice::missingEnvironment_data()
{
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("script");
    QTest::newRow("no virtual environment") << false << true;
    QTest::newRow("no helper script") << true << false;
    QTest::newRow("neither") << false << false;
}

void tst_WhisperSpeechToTextDevice::missingEnvironment()
{
    QFETCH(bool, venv);
    QFETCH(bool, script);

    // The previous environment must restore HOME and PATH before the next one takes them.
    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));

    WhisperSpeechToTextDevice device;
    SignalLog log(&device);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Unable to start whisper: python"_s));
    QVERIFY(!device.initialize({}));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Unable to start whisper: python"_s));
    device.clear();
    QCOMPARE(device.write("abcd"), qint64(4));
    device.finish();
    QVERIFY(!device.available());
    QTest::qWait(50);
    QCOMPARE(log.entries(), QStringList());

    // Once the environment is complete, the first utterance still gets id 1.
    if (!venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    if (!script)
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    device.clear();
    QVERIFY(device.available());
    QTRY_COMPARE(mEnvironment->recorded(), startLine(1, false));
}

void tst_WhisperSpeechToTextDevice::availableBeforeReady()
{
    auto device = startDevice(R"({"startup":[{"sleep":1000},{"frame":{"type":"ready","available":true}}]})");
    QVERIFY(device);
    QVERIFY(device->available());
}

void tst_WhisperSpeechToTextDevice::killedHelperIsReportedAndRestarted()
{
    auto device = startDevice("{}");
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    device->write("abcd");
    QTRY_VERIFY(mEnvironment->recorded().endsWith("abcd"));
    QCOMPARE(mEnvironment->pids().size(), 1);
    const qint64 first = mEnvironment->pids().constFirst();
    QCOMPARE(::kill(pid_t(first), SIGKILL), 0);

    QTRY_COMPARE(log.entries(), QStringList{"error:"_L1 + stoppedText});
    QVERIFY(!device->available());
    // The utterance died with the helper: nothing is sent for it any more.
    device->finish();
    QCOMPARE(device->write("late"), qint64(4));

    device->clear();
    QVERIFY(device->available());
    QTRY_COMPARE(mEnvironment->pids().size(), 2);
    QVERIFY(mEnvironment->pids().at(1) != first);
    QTRY_COMPARE(mEnvironment->recorded(), startLine(1, false) + audioFrame(1, "abcd") + startLine(2, false));
}

void tst_WhisperSpeechToTextDevice::exitOnItsOwnIsReported()
{
    auto device = startDevice(R"({"commands":{"start":[{"exit":0}]}})");
    QVERIFY(device);
    SignalLog log(device.get());
    QTest::ignoreMessage(QtWarningMsg, "whisper_helper.py stopped. Exit code: 0 QProcess::NormalExit");
    device->clear();
    QTRY_COMPARE(log.entries(), QStringList{"error:"_L1 + stoppedText});
    QVERIFY(!device->available());
}

void tst_WhisperSpeechToTextDevice::destructionQuitsHelper()
{
    auto device = startDevice("{}");
    QVERIFY(device);
    SignalLog log(device.get());
    device->clear();
    device->write("ab");
    QTRY_VERIFY(mEnvironment->recorded().endsWith("ab"));
    const qint64 pid = mEnvironment->pids().constFirst();

    QElapsedTimer timer;
    timer.start();
    device.reset();
    QVERIFY2(timer.elapsed() < 1500, "a helper that obeys quit ends long before the kill");
    QVERIFY(!processAlive(pid));
    // No cancel or stop before quit, and the helper's exit was not reported.
    QCOMPARE(mEnvironment->recorded(), startLine(1, false) + audioFrame(1, "ab") + quitLine);
    QCOMPARE(log.entries(), QStringList());
}

void tst_WhisperSpeechToTextDevice::helperIgnoringQuitIsKilled()
{
    auto device = startDevice(R"({"commands":{"quit":[]},"eof":[{"stall":true}]})");
    QVERIFY(device);
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    const qint64 pid = mEnvironment->pids().constFirst();
    QElapsedTimer timer;
    timer.start();
    device.reset();
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 1900 && elapsed < 3500, qPrintable(QString::number(elapsed)));
    QVERIFY(!processAlive(pid));
    QVERIFY(mEnvironment->recorded().endsWith(quitLine));
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextDevice)
#include "tst_whisperspeechtotextdevice.moc"
