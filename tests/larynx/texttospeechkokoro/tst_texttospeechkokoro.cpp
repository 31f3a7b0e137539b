#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <texttospeechkokoro.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const QByteArray quitLine = "{\"cmd\": \"quit\"}\n"_ba;

QByteArray sayLine(int id, const char *speed = "1", const char *text = "Hello", const char *voice = "af_heart", const char *pitch = nullptr)
{
    const QByteArray pitchKey = pitch ? R"("pitch":)" + QByteArray(pitch) + "," : QByteArray();
    return R"({"cmd":"say","id":)" + QByteArray::number(id) + "," + pitchKey + R"("sampleFormat":"int16","speed":)" + speed + R"(,"text":")"
        + text + R"(","voice":")" + voice + "\"}\n";
}

QByteArray cancelLine(int id)
{
    return R"({"cmd":"cancel","id":)" + QByteArray::number(id) + "}\n";
}

// The bytes the fake helper sends as payload of n bytes: byte i is i % 251.
QByteArray patternBytes(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(i % 251));
    return bytes;
}

const char formatAction[] = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}})";
const char endAction[] = R"({"frame":{"type":"end","id":"$id"}})";

QByteArray onSay(const QByteArray &actions)
{
    return R"({"commands":{"say":[)" + actions + "]}}";
}

QString stateName(TextToSpeechState state)
{
    switch (state) {
    case TextToSpeechState::Ready:
        return u"Ready"_s;
    case TextToSpeechState::Speaking:
        return u"Speaking"_s;
    case TextToSpeechState::Paused:
        return u"Paused"_s;
    case TextToSpeechState::Error:
        return u"Error"_s;
    case TextToSpeechState::Synthesizing:
        return u"Synthesizing"_s;
    }
    return u"?"_s;
}
} // namespace

// Every signal of the engine, in order: states by name, errors as "error:<reason>:<text>",
// audio as "audio:<rate>/<channels>/<format>:<bytes>".
class EngineLog : public QObject
{
public:
    explicit EngineLog(TextToSpeechKokoro *engine)
    {
        connect(engine, &TextToSpeechKokoro::stateChanged, this, [this](TextToSpeechState state) {
            mEntries.append(stateName(state));
        });
        connect(engine, &TextToSpeechKokoro::errorOccurred, this, [this](QTextToSpeech::ErrorReason reason, const QString &text) {
            mEntries.append(u"error:%1:%2"_s.arg(int(reason)).arg(text));
        });
        connect(engine, &TextToSpeechKokoro::synthesized, this, [this](const QAudioFormat &format, const QByteArray &data) {
            mEntries.append(u"audio:%1/%2/%3:%4"_s.arg(format.sampleRate())
                                .arg(format.channelCount())
                                .arg(int(format.sampleFormat()))
                                .arg(data.size()));
            mAudio += data;
        });
    }
    QStringList mEntries;
    QByteArray mAudio;
};

class tst_TextToSpeechKokoro : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void defaults();
    void settersValidate();

    void commands_data();
    void commands();
    void textReachesHelperUnchanged();

    void synthesizeHandsOutChunks();
    void synthesizeFloatFormat();
    void repliesAcrossReads_data();
    void repliesAcrossReads();
    void oddReplies_data();
    void oddReplies();
    void hugeSizeHoldsBackLaterReplies();
    void unusableFormat_data();
    void unusableFormat();
    void requestError();
    void errorWithoutIdWhileIdle();
    void stopKeepsErrorAndNextRequestClearsIt();

    void notInstalled_data();
    void notInstalled();
    void helperThatCannotStart();
    void helperKilledDuringSynthesis();
    void helperExitingZeroEndsRequest();
    void sayWithoutAudioDevice();
    void destructionSendsQuitLine();
    void helperIgnoringQuitIsKilled();

private:
    std::unique_ptr<TextToSpeechKokoro> startEngine(const QByteArray &scenario);
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_TextToSpeechKokoro::initTestCase()
{
    // No audio server at all: the audio output cannot be opened.
    PulseAudioServer::pointAtNoServer();
}

void tst_TextToSpeechKokoro::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoro::cleanup()
{
    mEnvironment.reset();
}

std::unique_ptr<TextToSpeechKokoro> tst_TextToSpeechKokoro::startEngine(const QByteArray &scenario)
{
    if (!mEnvironment->setScenario(scenario))
        return {};
    return std::make_unique<TextToSpeechKokoro>();
}

void tst_TextToSpeechKokoro::defaults()
{
    TextToSpeechKokoro engine;
    QCOMPARE(engine.state(), TextToSpeechState::Ready);
    QCOMPARE(engine.errorReason(), QTextToSpeech::ErrorReason::NoError);
    QVERIFY(engine.errorString().isEmpty());
    QCOMPARE(engine.voiceIdentifier(), u"af_heart"_s);
    QCOMPARE(engine.rate(), 0.0);
    QCOMPARE(engine.volume(), 1.0);
    // Nothing is started before the first request.
    QTest::qWait(50);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_TextToSpeechKokoro::settersValidate()
{
    TextToSpeechKokoro engine;
    QVERIFY(!engine.setRate(1.5));
    QVERIFY(!engine.setRate(-1.01));
    QVERIFY(!engine.setRate(qQNaN()));
    QCOMPARE(engine.rate(), 0.0);
    QVERIFY(engine.setRate(-1.0));
    QCOMPARE(engine.rate(), -1.0);

    QCOMPARE(engine.pitch(), 0.0);
    QVERIFY(!engine.setPitch(1.01));
    QVERIFY(!engine.setPitch(-1.5));
    QVERIFY(!engine.setPitch(qQNaN()));
    QCOMPARE(engine.pitch(), 0.0);
    QVERIFY(engine.setPitch(-0.3));
    QCOMPARE(engine.pitch(), -0.3);

    QVERIFY(!engine.setVolume(1.2));
    QVERIFY(!engine.setVolume(-0.1));
    QVERIFY(!engine.setVolume(qQNaN()));
    QVERIFY(engine.setVolume(0.5));
    QCOMPARE(engine.volume(), 0.5);

    for (const QString &bad : {u""_s, u"a"_s, u"xf_foo"_s, u"Af_heart"_s}) {
        QVERIFY2(!engine.setVoiceIdentifier(bad), qPrintable(bad));
        QCOMPARE(engine.voiceIdentifier(), u"af_heart"_s);
    }
    QVERIFY(engine.setVoiceIdentifier(u"bf_emma"_s));
    QCOMPARE(engine.voiceIdentifier(), u"bf_emma"_s);
}

void tst_TextToSpeechKokoro::commands_data()
{
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("say") << QStringList{u"say:Hello"_s} << sayLine(1);
    QTest::newRow("say while speaking") << QStringList{u"say:Hello"_s, u"say:Hello"_s} << sayLine(1) + cancelLine(1) + sayLine(2);
    QTest::newRow("blank text only stops") << QStringList{u"say:Hello"_s, u"say: \t\n"_s} << sayLine(1) + cancelLine(1);
    QTest::newRow("blank text first sends nothing") << QStringList{u"say:  "_s} << QByteArray();
    QTest::newRow("stop twice cancels once") << QStringList{u"say:Hello"_s, u"stop"_s, u"stop"_s} << sayLine(1) + cancelLine(1);
    QTest::newRow("synthesize") << QStringList{u"synthesize:Hello"_s} << sayLine(1);
    QTest::newRow("rate 0.5") << QStringList{u"rate:0.5"_s, u"say:Hello"_s} << sayLine(1, "1.5");
    QTest::newRow("rate -0.5") << QStringList{u"rate:-0.5"_s, u"say:Hello"_s} << sayLine(1, "0.75");
    QTest::newRow("rate -1") << QStringList{u"rate:-1"_s, u"say:Hello"_s} << sayLine(1, "0.5");
    QTest::newRow("rate 1") << QStringList{u"rate:1"_s, u"say:Hello"_s} << sayLine(1, "2");
    QTest::newRow("rate 1.5 refused") << QStringList{u"rate:0.5"_s, u"rate:1.5"_s, u"say:Hello"_s} << sayLine(1, "1.5");
    QTest::newRow("voice") << QStringList{u"voice:bf_emma"_s, u"say:Hello"_s} << sayLine(1, "1", "Hello", "bf_emma");
    QTest::newRow("pitch 0.5 is three semitones up")
        << QStringList{u"pitch:0.5"_s, u"say:Hello"_s} << sayLine(1, "1", "Hello", "af_heart", "3");
    QTest::newRow("pitch -1 is six semitones down")
        << QStringList{u"pitch:-1"_s, u"say:Hello"_s} << sayLine(1, "1", "Hello", "af_heart", "-6");
    QTest::newRow("pitch 1 with rate")
        << QStringList{u"pitch:1"_s, u"rate:0.5"_s, u"say:Hello"_s} << sayLine(1, "1.5", "Hello", "af_heart", "6");
    QTest::newRow("pitch back to 0 omits the key") << QStringList{u"pitch:0.5"_s, u"pitch:0"_s, u"say:Hello"_s} << sayLine(1);
    QTest::newRow("pitch 1.5 refused")
        << QStringList{u"pitch:-0.25"_s, u"pitch:1.5"_s, u"say:Hello"_s} << sayLine(1, "1", "Hello", "af_heart", "-1.5");
    QTest::newRow("voice refused") << QStringList{u"voice:x"_s, u"say:Hello"_s} << sayLine(1);
}

void tst_TextToSpeechKokoro::commands()
{
    QFETCH(QStringList, operations);
    QFETCH(QByteArray, expected);

    auto engine = startEngine("{}");
    for (const QString &operation : std::as_const(operations)) {
        const QString argument = operation.section(u':', 1);
        if (operation.startsWith("say:"_L1))
            engine->say(argument);
        else if (operation.startsWith("synthesize:"_L1))
            engine->synthesize(argument);
        else if (operation == "stop"_L1)
            engine->stop();
        else if (operation.startsWith("rate:"_L1))
            engine->setRate(argument.toDouble());
        else if (operation.startsWith("pitch:"_L1))
            engine->setPitch(argument.toDouble());
        else if (operation.startsWith("voice:"_L1))
            engine->setVoiceIdentifier(argument);
    }
    // Destruction waits for the helper, so everything it was sent is recorded by then.
    engine.reset();
    QCOMPARE(mEnvironment->recorded(), expected.isEmpty() ? QByteArray() : expected + quitLine);
}

void tst_TextToSpeechKokoro::textReachesHelperUnchanged()
{
    // The fake helper sends the text back as an error message, as it decoded it.
    auto engine = startEngine(onSay(R"({"frame":{"type":"error","id":"$id","message":"$text"}})"));
    EngineLog log(engine.get());
    const QString text = u"  \"Quoted\" \\back\\slash\nnew line\ttab Grüße 🎙 "_s;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Kokoro synthesis failed:"_s));
    engine->say(text);
    QTRY_COMPARE(log.mEntries.size(), 3);
    QCOMPARE(log.mEntries.at(0), u"Speaking"_s);
    QCOMPARE(log.mEntries.at(1), u"Error"_s);
    QCOMPARE(log.mEntries.at(2), u"error:3:Kokoro was unable to synthesize the text: "_s + text);
    QCOMPARE(engine->errorReason(), QTextToSpeech::ErrorReason::Input);
}

void tst_TextToSpeechKokoro::synthesizeHandsOutChunks()
{
    auto engine = startEngine(onSay(QByteArray(formatAction)
                                    + R"(,{"frame":{"type":"chunk","id":"$id"},"payloadBytes":1000},)"
                                      R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":7},)"
                                    + endAction));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QCOMPARE(engine->state(), TextToSpeechState::Synthesizing);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"audio:24000/1/2:1000"_s, u"audio:24000/1/2:7"_s, u"Ready"_s}));
    QCOMPARE(log.mAudio, patternBytes(1000) + patternBytes(7));
}

void tst_TextToSpeechKokoro::synthesizeFloatFormat()
{
    auto engine = startEngine(onSay(R"({"frame":{"type":"format","id":"$id","sampleRate":16000,"channels":2,"sampleFormat":"float"}},)"
                                    R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":8},)"
                                    R"({"frame":{"type":"format","id":"$id","sampleRate":8000,"channels":1,"sampleFormat":"double"}},)"
                                    R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":2},)"
                                    R"({"frame":{"type":"format","id":"$id","sampleRate":8000,"channels":1}},)"
                                    R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":2},)"
                                    + QByteArray(endAction)));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    const int float32 = int(QAudioFormat::Float);
    const int int16 = int(QAudioFormat::Int16);
    QCOMPARE(log.mEntries,
             QStringList({u"Synthesizing"_s, u"audio:16000/2/%1:8"_s.arg(float32), u"audio:8000/1/%1:2"_s.arg(int16),
                          u"audio:8000/1/%1:2"_s.arg(int16), u"Ready"_s}));
}

void tst_TextToSpeechKokoro::repliesAcrossReads_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("expected");

    // The header, half the payload, then the rest, each in a read of its own.
    QTest::newRow("chunk in three reads") << QByteArray(formatAction)
            + R"(,{"frame":{"type":"chunk","id":"$id"},"payloadBytes":10,"splitAt":[30,35]},)"
            + endAction << QStringList{u"Synthesizing"_s, u"audio:24000/1/2:10"_s, u"Ready"_s};
    QTest::newRow("header cut in the middle") << QByteArray(formatAction) + R"(,{"frame":{"type":"end","id":"$id"},"splitAt":[5]})"
                                              << QStringList{u"Synthesizing"_s, u"Ready"_s};
}

void tst_TextToSpeechKokoro::repliesAcrossReads()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, expected);

    auto engine = startEngine(onSay(actions));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(log.mEntries, expected);
}

void tst_TextToSpeechKokoro::oddReplies_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QStringList>("expected");

    const QStringList none;
    QTest::newRow("chunk before format gets the previous format") << R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":4},)"
            + QByteArray(formatAction) + "," + endAction << none << QStringList{u"Synthesizing"_s, u"audio:0/0/0:4"_s, u"Ready"_s};
    QTest::newRow("chunk of size 0 and without size") << QByteArray(formatAction)
            + R"(,{"frame":{"type":"chunk","id":"$id","size":0}},{"frame":{"type":"chunk","id":"$id"}},)"
            + endAction << none << QStringList{u"Synthesizing"_s, u"audio:24000/1/2:0"_s, u"audio:24000/1/2:0"_s, u"Ready"_s};
    QTest::newRow("other ids are dropped, payload and all") << QByteArray(formatAction)
            + R"(,{"frame":{"type":"chunk","id":0},"payloadBytes":4},{"frame":{"type":"chunk","id":2},"payloadBytes":4},)"
              R"({"frame":{"type":"chunk"},"payloadBytes":4},{"frame":{"type":"end","id":"1"}},{"frame":{"type":"end","id":1.5}},)"
            + endAction << none << QStringList{u"Synthesizing"_s, u"Ready"_s};
    QTest::newRow("ready is only logged") << R"({"frame":{"type":"ready","id":"$id"}},)" + QByteArray(endAction) << none
                                          << QStringList{u"Synthesizing"_s, u"Ready"_s};
    QTest::newRow("malformed lines and arrays")
        << R"({"raw":"garbage\n\n[1,2]\n"},)" + QByteArray(endAction) << QStringList{u"^Malformed frame:"_s, u"^Malformed frame:"_s}
        << QStringList{u"Synthesizing"_s, u"Ready"_s};
    QTest::newRow("unknown type") << R"({"frame":{"type":"progress","id":"$id"}},)" + QByteArray(endAction)
                                  << QStringList{u"^Unknown frame type: \"progress\""_s} << QStringList{u"Synthesizing"_s, u"Ready"_s};
    QTest::newRow("chunk after end is dropped") << QByteArray(endAction) + R"(,{"frame":{"type":"chunk","id":"$id"},"payloadBytes":4})"
                                                << none << QStringList{u"Synthesizing"_s, u"Ready"_s};
}

void tst_TextToSpeechKokoro::oddReplies()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, warnings);
    QFETCH(QStringList, expected);

    // A second request whose reply comes after everything the first one got.
    auto engine = startEngine(R"({"commands":{"say":[)" + actions + R"(,{"frame":{"type":"error","message":"sentinel"}}]}})");
    EngineLog log(engine.get());
    for (const QString &warning : std::as_const(warnings))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Kokoro error:"_s));
    engine->synthesize(u"Hello"_s);
    QTRY_VERIFY(log.mEntries.contains(u"error:3:sentinel"_s));
    QCOMPARE(log.mEntries.mid(0, log.mEntries.indexOf(u"Error"_s)), expected);
}

void tst_TextToSpeechKokoro::hugeSizeHoldsBackLaterReplies()
{
    auto engine = startEngine(onSay(R"({"raw":"{\"type\":\"chunk\",\"id\":1,\"size\":9223372036854775807}\nabc"},)" + QByteArray(endAction)
                                    + R"(,{"sleep":300},{"exit":0})"));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    // The end is stuck behind a payload that never completes, until the helper leaves.
    QTRY_COMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"Ready"_s}));
    QVERIFY(log.mAudio.isEmpty());
}

void tst_TextToSpeechKokoro::unusableFormat_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("rate 0") << R"({"type":"format","id":"$id","sampleRate":0,"channels":1})"_ba;
    QTest::newRow("65536 channels") << R"({"type":"format","id":"$id","sampleRate":24000,"channels":65536})"_ba;
    QTest::newRow("nothing given") << R"({"type":"format","id":"$id"})"_ba;
}

void tst_TextToSpeechKokoro::unusableFormat()
{
    QFETCH(QByteArray, format);

    auto engine = startEngine(onSay(R"({"frame":)" + format + R"(},{"frame":{"type":"chunk","id":"$id"},"payloadBytes":4},)" + endAction));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"Error"_s, u"error:4:Kokoro reported an unusable audio format."_s}));
    QTRY_VERIFY(mEnvironment->recorded().endsWith(cancelLine(1)));
    QTest::qWait(100);
    QCOMPARE(log.mEntries.size(), 3);
}

void tst_TextToSpeechKokoro::requestError()
{
    auto engine =
        startEngine(onSay(QByteArray(formatAction) + R"(,{"frame":{"type":"error","id":"$id","message":"no voice"}},)" + endAction));
    EngineLog log(engine.get());
    QTest::ignoreMessage(QtWarningMsg, "Kokoro synthesis failed: \"no voice\"");
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(log.mEntries,
                 QStringList({u"Synthesizing"_s, u"Error"_s, u"error:3:Kokoro was unable to synthesize the text: no voice"_s}));
    engine.reset();
    // The request ended with the error: no cancel follows it.
    QCOMPARE(mEnvironment->recorded(), sayLine(1) + quitLine);
}

void tst_TextToSpeechKokoro::errorWithoutIdWhileIdle()
{
    auto engine = startEngine(onSay(QByteArray(endAction) + R"(,{"sleep":100},{"frame":{"type":"error","message":"model gone"}})"));
    EngineLog log(engine.get());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Kokoro error:"_s));
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"Ready"_s, u"Error"_s, u"error:3:model gone"_s}));
}

void tst_TextToSpeechKokoro::stopKeepsErrorAndNextRequestClearsIt()
{
    auto engine = startEngine(onSay(R"({"frame":{"type":"error","message":"broken"}})"));
    EngineLog log(engine.get());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Kokoro error:"_s));
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Error);
    engine->stop();
    QCOMPARE(engine->state(), TextToSpeechState::Error);
    QCOMPARE(engine->errorString(), u"broken"_s);

    mEnvironment->setScenario(onSay(endAction));
    engine->synthesize(u"Again"_s);
    QCOMPARE(engine->state(), TextToSpeechState::Synthesizing);
    QCOMPARE(engine->errorReason(), QTextToSpeech::ErrorReason::NoError);
    QVERIFY(engine->errorString().isEmpty());
}

void tst_TextToSpeechKokoro::notInstalled_data()
{
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("script");
    QTest::newRow("no virtual environment") << false << true;
    QTest::newRow("no helper script") << true << false;
}

void tst_TextToSpeechKokoro::notInstalled()
{
    QFETCH(bool, venv);
    QFETCH(bool, script);

    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));

    auto engine = startEngine(onSay(endAction));
    EngineLog log(engine.get());
    engine->say(u"Hello"_s);
    QCOMPARE(log.mEntries, QStringList({u"Error"_s, u"error:1:Kokoro is not installed. Please install it first."_s}));

    // The refused request used no id.
    if (!venv)
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    if (!script)
        QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    engine.reset();
    QCOMPARE(mEnvironment->recorded(), sayLine(1) + quitLine);
}

void tst_TextToSpeechKokoro::helperThatCannotStart()
{
    // An interpreter that is there but cannot be run.
    const QString python = mEnvironment->home() + "/.venv/kokoro/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), u"python-not-executable"_s, false));
    QVERIFY(QFile::rename(mEnvironment->binDir() + "/python-not-executable"_L1, python));

    auto engine = startEngine("{}");
    EngineLog log(engine.get());
    engine->say(u"Hello"_s);
    QTRY_COMPARE(log.mEntries, QStringList({u"Speaking"_s, u"Error"_s, u"error:1:Unable to start the Kokoro backend."_s}));
}

void tst_TextToSpeechKokoro::helperKilledDuringSynthesis()
{
    auto engine = startEngine(onSay(QByteArray(formatAction) + R"(,{"stall":true})"));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    QTRY_COMPARE(mEnvironment->recorded(), sayLine(1));
    const qint64 first = mEnvironment->pids().constFirst();
    QCOMPARE(::kill(pid_t(first), SIGKILL), 0);
    QTRY_COMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"Error"_s, u"error:4:The Kokoro backend stopped unexpectedly."_s}));

    mEnvironment->setScenario(onSay(endAction));
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(mEnvironment->pids().size(), 2);
    QCOMPARE(mEnvironment->recorded(), sayLine(1) + sayLine(2));
}

void tst_TextToSpeechKokoro::helperExitingZeroEndsRequest()
{
    auto engine = startEngine(onSay(QByteArray(formatAction) + R"(,{"exit":0})"));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"Ready"_s}));
    QCOMPARE(engine->errorReason(), QTextToSpeech::ErrorReason::NoError);
}

void tst_TextToSpeechKokoro::sayWithoutAudioDevice()
{
    auto engine = startEngine(onSay(QByteArray(formatAction) + R"(,{"frame":{"type":"chunk","id":"$id"},"payloadBytes":4},)" + endAction));
    EngineLog log(engine.get());
    engine->say(u"Hello"_s);
    QTRY_COMPARE(log.mEntries, QStringList({u"Speaking"_s, u"Error"_s, u"error:4:Unable to open the audio device."_s}));
    QTRY_COMPARE(mEnvironment->recorded(), sayLine(1) + cancelLine(1));
    QTest::qWait(100);
    QCOMPARE(log.mEntries.size(), 3);
}

void tst_TextToSpeechKokoro::destructionSendsQuitLine()
{
    auto engine = startEngine(onSay(formatAction));
    EngineLog log(engine.get());
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(mEnvironment->pids().size(), 1);
    const qint64 pid = mEnvironment->pids().constFirst();
    QElapsedTimer timer;
    timer.start();
    engine.reset();
    QVERIFY(timer.elapsed() < 1500);
    QVERIFY(::kill(pid_t(pid), 0) != 0);
    QCOMPARE(mEnvironment->recorded(), sayLine(1) + quitLine);
    QCOMPARE(log.mEntries, QStringList{u"Synthesizing"_s});
}

void tst_TextToSpeechKokoro::helperIgnoringQuitIsKilled()
{
    auto engine = startEngine(R"({"commands":{"quit":[]},"eof":[{"stall":true}]})");
    engine->synthesize(u"Hello"_s);
    QTRY_COMPARE(mEnvironment->recorded(), sayLine(1));
    const qint64 pid = mEnvironment->pids().constFirst();
    QElapsedTimer timer;
    timer.start();
    engine.reset();
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 1900 && elapsed < 3500, qPrintable(QString::number(elapsed)));
    QVERIFY(::kill(pid_t(pid), 0) != 0);
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoro)
#include "tst_texttospeechkokoro.moc"
