#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <texttospeechkokoro.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const QByteArray formatAction = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}})";
const QByteArray endAction = R"({"frame":{"type":"end","id":"$id"}})";

QByteArray mark(const char *kind, int start, int length, qint64 sample)
{
    return R"({"frame":{"type":"mark","id":"$id","kind":")" + QByteArray(kind) + R"(","start":)" + QByteArray::number(start)
        + R"(,"length":)" + QByteArray::number(length) + R"(,"sample":)" + QByteArray::number(sample) + "}}";
}

QByteArray chunk(int bytes)
{
    return R"({"frame":{"type":"chunk","id":"$id"},"payloadBytes":)" + QByteArray::number(bytes) + "}";
}

QByteArray tone(double seconds)
{
    return R"({"audio":{"id":"$id","seconds":)" + QByteArray::number(seconds) + R"(,"chunkBytes":4800}})";
}

QByteArray onSay(const QByteArrayList &actions)
{
    return R"({"commands":{"say":[)" + actions.join(',') + "]}}";
}

// The text the marks of these tests index: "🌍" is two UTF-16 code units.
const QString text = u"Hello wide \U0001F30D world. Next one."_s;
} // namespace

// What the engine says, in order: "sentence:<start>+<length>", "word:<word>:<start>+<length>",
// "audio:<bytes>" and the states, with the time of each since the log began.
class MarkLog : public QObject
{
public:
    explicit MarkLog(TextToSpeechKokoro *engine)
    {
        mClock.start();
        connect(engine, &TextToSpeechKokoro::sayingSentence, this, [this](qsizetype start, qsizetype length) {
            add(u"sentence:%1+%2"_s.arg(start).arg(length));
        });
        connect(engine, &TextToSpeechKokoro::sayingWord, this, [this](const QString &word, qsizetype start, qsizetype length) {
            add(u"word:%1:%2+%3"_s.arg(word).arg(start).arg(length));
        });
        connect(engine, &TextToSpeechKokoro::synthesized, this, [this](const QAudioFormat &, const QByteArray &data) {
            add(u"audio:%1"_s.arg(data.size()));
        });
        connect(engine, &TextToSpeechKokoro::stateChanged, this, [this](TextToSpeechState state) {
            static const char *const names[] = {"Ready", "Speaking", "Paused", "Error", "Synthesizing"};
            add(QString::fromLatin1(names[int(state)]));
        });
    }

    void add(const QString &entry)
    {
        mEntries.append(entry);
        mTimes.append(mClock.elapsed());
    }

    // The time of the first entry that starts with prefix, or -1.
    [[nodiscard]] qint64 timeOf(const QString &prefix) const
    {
        for (qsizetype i = 0; i < mEntries.size(); ++i) {
            if (mEntries.at(i).startsWith(prefix))
                return mTimes.at(i);
        }
        return -1;
    }

    [[nodiscard]] QStringList marks() const
    {
        QStringList result;
        for (const QString &entry : mEntries) {
            if (entry.startsWith("word:"_L1) || entry.startsWith("sentence:"_L1))
                result.append(entry);
        }
        return result;
    }

    QStringList mEntries;
    QList<qint64> mTimes;
    QElapsedTimer mClock;
};

class tst_TextToSpeechKokoroMarks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void synthesizeCutsAudioAtMarks_data();
    void synthesizeCutsAudioAtMarks();
    void malformedMarksAreIgnored_data();
    void malformedMarksAreIgnored();
    void receiverMayEndTheRequest_data();
    void receiverMayEndTheRequest();

    void marksFollowPlayback();
    void pauseHoldsMarks();
    void noMarkAfterStop();
    void progressTellsTheHelperWhatPlayed();

private:
    std::unique_ptr<TextToSpeechKokoro> startEngine(const QByteArray &scenario);
    [[nodiscard]] QList<QJsonObject> recordedCommands(const QString &cmd) const;

    std::unique_ptr<PulseAudioServer> mServer;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_TextToSpeechKokoroMarks::initTestCase()
{
    mServer = std::make_unique<PulseAudioServer>();
    if (!mServer->start())
        QSKIP(qPrintable(u"No PulseAudio server: "_s + mServer->errorString()));
    QVERIFY(mServer->runAtSoundCardLatency());
}

void tst_TextToSpeechKokoroMarks::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoroMarks::cleanup()
{
    mEnvironment.reset();
}

std::unique_ptr<TextToSpeechKokoro> tst_TextToSpeechKokoroMarks::startEngine(const QByteArray &scenario)
{
    if (!mEnvironment->setScenario(scenario))
        return {};
    return std::make_unique<TextToSpeechKokoro>();
}

QList<QJsonObject> tst_TextToSpeechKokoroMarks::recordedCommands(const QString &cmd) const
{
    QList<QJsonObject> commands;
    for (const QByteArray &line : mEnvironment->recorded().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value("cmd"_L1).toString() == cmd)
            commands.append(object);
    }
    return commands;
}

void tst_TextToSpeechKokoroMarks::synthesizeCutsAudioAtMarks_data()
{
    QTest::addColumn<QByteArrayList>("actions");
    QTest::addColumn<QStringList>("expected");

    // Chunks of 200 bytes are 100 frames of 16-bit mono.
    QTest::newRow("marks at chunk starts") << QByteArrayList{mark("sentence", 0, 20, 0), mark("word", 0, 5, 0), chunk(200),
                                                             mark("word", 6, 4, 100), chunk(200)}
                                           << QStringList{u"Synthesizing"_s, u"sentence:0+20"_s, u"word:Hello:0+5"_s, u"audio:200"_s,
                                                          u"word:wide:6+4"_s, u"audio:200"_s, u"Ready"_s};
    QTest::newRow("a mark inside a chunk cuts it")
        << QByteArrayList{mark("word", 11, 2, 50), chunk(400)}
        << QStringList{u"Synthesizing"_s, u"audio:100"_s, u"word:\U0001F30D:11+2"_s, u"audio:300"_s, u"Ready"_s};
    QTest::newRow("two marks at one sample, one in the next chunk")
        << QByteArrayList{mark("sentence", 21, 9, 120), mark("word", 21, 4, 120), mark("word", 26, 3, 130), chunk(200), chunk(200)}
        << QStringList{u"Synthesizing"_s, u"audio:200"_s, u"audio:40"_s, u"sentence:21+9"_s, u"word:Next:21+4"_s, u"audio:20"_s,
                       u"word:one:26+3"_s, u"audio:140"_s, u"Ready"_s};
    QTest::newRow("a mark behind the audio comes before the next data")
        << QByteArrayList{chunk(200), mark("word", 0, 5, 10), chunk(200)}
        << QStringList{u"Synthesizing"_s, u"audio:200"_s, u"word:Hello:0+5"_s, u"audio:200"_s, u"Ready"_s};
    QTest::newRow("a mark at the very end comes before Ready")
        << QByteArrayList{chunk(200), mark("word", 14, 5, 100)}
        << QStringList{u"Synthesizing"_s, u"audio:200"_s, u"word:world:14+5"_s, u"Ready"_s};
    QTest::newRow("an empty range") << QByteArrayList{mark("word", 30, 0, 0), chunk(200)}
                                    << QStringList{u"Synthesizing"_s, u"word::30+0"_s, u"audio:200"_s, u"Ready"_s};
}

void tst_TextToSpeechKokoroMarks::synthesizeCutsAudioAtMarks()
{
    QFETCH(QByteArrayList, actions);
    QFETCH(QStringList, expected);

    QCOMPARE(text.size(), 30);
    auto engine = startEngine(onSay(QByteArrayList{formatAction} + actions + QByteArrayList{endAction}));
    MarkLog log(engine.get());
    engine->synthesize(text);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(log.mEntries, expected);
}

void tst_TextToSpeechKokoroMarks::malformedMarksAreIgnored_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("unknown kind") << QByteArray(R"({"type":"mark","id":"$id","kind":"paragraph","start":0,"length":5,"sample":0})");
    QTest::newRow("no kind") << QByteArray(R"({"type":"mark","id":"$id","start":0,"length":5,"sample":0})");
    QTest::newRow("start beyond the text") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":31,"length":0,"sample":0})");
    QTest::newRow("range beyond the text") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":21,"length":10,"sample":0})");
    QTest::newRow("negative sample") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":0,"length":5,"sample":-1})");
    QTest::newRow("fractional sample") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":0,"length":5,"sample":1.5})");
    QTest::newRow("start as a string") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":"0","length":5,"sample":0})");
    QTest::newRow("huge length") << QByteArray(R"({"type":"mark","id":"$id","kind":"word","start":1,"length":9.2e18,"sample":0})");
}

void tst_TextToSpeechKokoroMarks::malformedMarksAreIgnored()
{
    QFETCH(QByteArray, frame);

    auto engine = startEngine(onSay({formatAction, R"({"frame":)" + frame + "}", mark("word", 6, 4, 0), chunk(200), endAction}));
    MarkLog log(engine.get());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Malformed mark:"_s));
    engine->synthesize(text);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(log.mEntries, QStringList({u"Synthesizing"_s, u"word:wide:6+4"_s, u"audio:200"_s, u"Ready"_s}));
}

void tst_TextToSpeechKokoroMarks::receiverMayEndTheRequest_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("stop") << false;
    QTest::newRow("a new request") << true;
}

void tst_TextToSpeechKokoroMarks::receiverMayEndTheRequest()
{
    QFETCH(bool, restart);

    // Every request gets the same replies; the second request is cut off at once.
    auto engine = startEngine(onSay({formatAction, mark("word", 0, 5, 0), mark("word", 6, 4, 50), chunk(200), endAction}));
    MarkLog log(engine.get());
    int words = 0;
    connect(engine.get(), &TextToSpeechKokoro::sayingWord, this, [&] {
        if (++words > 1)
            return;
        if (restart)
            engine->synthesize(u"Other text"_s);
        else
            engine->stop();
    });
    engine->synthesize(text);
    QTRY_COMPARE(engine->state(), restart ? TextToSpeechState::Ready : TextToSpeechState::Ready);
    QTest::qWait(restart ? 0 : 300);
    if (restart)
        QTRY_COMPARE(log.mEntries.count(u"Ready"_s), 2);
    // Nothing of the first request after the receiver let go of it; the second one is whole.
    const QStringList expected = restart ? QStringList{u"Synthesizing"_s, u"word:Hello:0+5"_s, u"Ready"_s, u"Synthesizing"_s,
                                                       u"word:Other:0+5"_s, u"audio:100"_s, u"word:text:6+4"_s, u"audio:100"_s, u"Ready"_s}
                                         : QStringList{u"Synthesizing"_s, u"word:Hello:0+5"_s, u"Ready"_s};
    QCOMPARE(log.mEntries, expected);
}

void tst_TextToSpeechKokoroMarks::marksFollowPlayback()
{
    // Words every half second of a two-second tone.
    auto engine = startEngine(onSay({formatAction, mark("sentence", 0, 20, 0), mark("word", 0, 5, 0), mark("word", 6, 4, 12000),
                                     mark("word", 11, 2, 24000), mark("word", 14, 5, 36000), tone(2.0), endAction}));
    MarkLog log(engine.get());
    engine->say(text);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);
    QCOMPARE(log.marks(),
             QStringList({u"sentence:0+20"_s, u"word:Hello:0+5"_s, u"word:wide:6+4"_s, u"word:\U0001F30D:11+2"_s, u"word:world:14+5"_s}));
    // Paced by playback, not by arrival: all of it arrived at once.
    const qint64 first = log.timeOf(u"word:Hello"_s);
    const QList<std::pair<QString, qint64>> expected{{u"word:wide"_s, 500}, {u"word:\U0001F30D"_s, 1000}, {u"word:world"_s, 1500}};
    for (const auto &[word, offset] : expected) {
        const qint64 late = log.timeOf(word) - first - offset;
        QVERIFY2(qAbs(late) <= 120, qPrintable(u"%1 off by %2 ms"_s.arg(word).arg(late)));
    }
    // Ready once the last sample has played.
    const qint64 ready = log.timeOf(u"Ready"_s) - first;
    QVERIFY2(ready >= 1900 && ready <= 2300, qPrintable(QString::number(ready)));
}

void tst_TextToSpeechKokoroMarks::pauseHoldsMarks()
{
    auto engine = startEngine(onSay({formatAction, mark("word", 0, 5, 0), mark("word", 6, 4, 24000), tone(1.5), endAction}));
    MarkLog log(engine.get());
    engine->say(text);
    QTRY_VERIFY(log.timeOf(u"word:Hello"_s) >= 0);
    const qint64 first = log.timeOf(u"word:Hello"_s);
    QTest::qWait(400);
    engine->pause();
    const qint64 paused = log.mClock.elapsed();
    QTest::qWait(1500);
    QCOMPARE(log.marks().size(), 1);
    engine->resume();
    const qint64 resumed = log.mClock.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(log.marks().size() == 2, 5000);
    // The second word is one second into the audio: the time played before the pause, and
    // the rest after it.
    const qint64 expected = resumed + (1000 - (paused - first));
    const qint64 late = log.timeOf(u"word:wide"_s) - expected;
    QVERIFY2(qAbs(late) <= 150, qPrintable(u"off by %1 ms"_s.arg(late)));
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 10000);
}

void tst_TextToSpeechKokoroMarks::noMarkAfterStop()
{
    auto engine = startEngine(onSay({formatAction, mark("word", 0, 5, 0), mark("word", 6, 4, 12000), mark("word", 14, 5, 24000), tone(1.5), endAction}));
    MarkLog log(engine.get());
    engine->say(text);
    QTRY_VERIFY(log.timeOf(u"word:Hello"_s) >= 0);
    engine->stop();
    QTest::qWait(1500);
    QCOMPARE(log.marks(), QStringList{u"word:Hello:0+5"_s});
    QCOMPARE(log.mEntries.last(), u"Ready"_s);
}

void tst_TextToSpeechKokoroMarks::progressTellsTheHelperWhatPlayed()
{
    auto engine = startEngine(onSay({formatAction, tone(2.0), endAction}));
    engine->say(text);
    QTRY_COMPARE_WITH_TIMEOUT(engine->state(), TextToSpeechState::Ready, 15000);
    const qsizetype afterReady = recordedCommands(u"progress"_s).size();
    QTest::qWait(700);

    const QList<QJsonObject> progress = recordedCommands(u"progress"_s);
    QCOMPARE(progress.size(), afterReady);
    // The first when playback starts, then about every half second of the two seconds.
    QVERIFY2(progress.size() >= 4 && progress.size() <= 6, qPrintable(QString::number(progress.size())));
    QCOMPARE(progress.first(), QJsonObject({{"cmd"_L1, "progress"_L1}, {"id"_L1, 1}, {"played"_L1, 0}}));
    qint64 previous = -1;
    for (const QJsonObject &command : progress) {
        QCOMPARE(command.value("id"_L1).toInteger(), 1);
        const qint64 played = command.value("played"_L1).toInteger();
        QVERIFY(played > previous || played == 0);
        QVERIFY(played <= 48000);
        previous = played;
    }
    QVERIFY2(previous >= 24000, qPrintable(QString::number(previous)));

    // Synthesis is never held back: the helper hears nothing about it.
    mEnvironment->setScenario(onSay({formatAction, tone(0.5), endAction}));
    engine->synthesize(text);
    QTRY_COMPARE(engine->state(), TextToSpeechState::Ready);
    QCOMPARE(recordedCommands(u"progress"_s).size(), progress.size());
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroMarks)
#include "tst_texttospeechkokoromarks.moc"
