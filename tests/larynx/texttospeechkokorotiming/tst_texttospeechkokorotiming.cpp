#include "fakehelperenvironment.h"
#include "monitorrecorder.h"
#include "pulseaudioserver.h"

#include <texttospeechkokoro.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
// The stand-in's bursts voice renders each word as a burst of tone at half of full scale, with
// at least 25 ms of silence between words even at double speed.
constexpr int BurstThreshold = 4000;
constexpr double WordGapSeconds = 0.015;
// The silence it gives a full stop, at normal speed.
constexpr double FinalStopSeconds = 0.12;

const QString story = u"The keeper climbed the stairs at dusk. He carried a lamp and a notebook. "
                      "Nobody knew what he drew, and he never said."_s;

double percentile(QList<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, qsizetype(fraction * values.size())));
}
} // namespace

// The read-aloud engine with the real helper and the stand-in kokoro, heard through the null
// sink's monitor: every word the voice speaks is a burst of tone whose onset can be found in
// what was played and compared with the moment the engine said the word was being read.
class tst_TextToSpeechKokoroTiming : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void wordsFireWhenTheyAreHeard_data();
    void wordsFireWhenTheyAreHeard();
    void helperWaitsForASlowListener();

private:
    [[nodiscard]] int countLogged(const QString &event) const;

    std::unique_ptr<PulseAudioServer> mServer;
    std::unique_ptr<MonitorRecorder> mMonitor;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QTemporaryDir mCache;
};

void tst_TextToSpeechKokoroTiming::initTestCase()
{
    mServer = std::make_unique<PulseAudioServer>();
    if (!mServer->start())
        QSKIP(qPrintable(u"No PulseAudio server: "_s + mServer->errorString()));
    mMonitor = std::make_unique<MonitorRecorder>();
    QVERIFY2(mMonitor->start(mServer->address()), qPrintable(mMonitor->errorString()));
    qputenv("PYTHONPATH", HELPERS_DIR "/tests/standins");
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("STANDIN_KOKORO_VOICE", "bursts");
    qputenv("STANDIN_SPACY_INSTALLED", "en_core_web_sm");
    qputenv("HF_HUB_CACHE", QFile::encodeName(mCache.path()));
}

void tst_TextToSpeechKokoroTiming::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installScript(QStringLiteral(HELPERS_DIR "/kokoro_helper.py"), u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    qputenv("STANDIN_LOG", QFile::encodeName(mEnvironment->home() + u"/standin.log"_s));
}

void tst_TextToSpeechKokoroTiming::cleanup()
{
    mEnvironment.reset();
    qunsetenv("STANDIN_LOG");
}

int tst_TextToSpeechKokoroTiming::countLogged(const QString &event) const
{
    QFile log(mEnvironment->home() + u"/standin.log"_s);
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    int count = 0;
    for (const QByteArray &line : log.readAll().split('\n'))
        count += QJsonDocument::fromJson(line).object().value("event"_L1).toString() == event ? 1 : 0;
    return count;
}

void tst_TextToSpeechKokoroTiming::wordsFireWhenTheyAreHeard_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("pauseOnce");
    QTest::newRow("normal rate") << 0.0 << false;
    QTest::newRow("slowest rate") << -1.0 << false;
    QTest::newRow("fastest rate") << 1.0 << false;
    QTest::newRow("paused and resumed") << 0.0 << true;
}

void tst_TextToSpeechKokoroTiming::wordsFireWhenTheyAreHeard()
{
    QFETCH(double, rate);
    QFETCH(bool, pauseOnce);

    TextToSpeechKokoro engine;
    QVERIFY(engine.setRate(rate));
    QList<double> wordTimes;
    QStringList words;
    connect(&engine, &TextToSpeechKokoro::sayingWord, this, [&](const QString &word) {
        wordTimes.append(MonitorRecorder::clock());
        words.append(word);
    });
    double readyTime = 0;
    connect(&engine, &TextToSpeechKokoro::stateChanged, this, [&](TextToSpeechState state) {
        if (state == TextToSpeechState::Ready)
            readyTime = MonitorRecorder::clock();
    });

    mMonitor->clear();
    engine.say(story);
    if (pauseOnce) {
        QTRY_VERIFY_WITH_TIMEOUT(wordTimes.size() >= 4, 10000);
        engine.pause();
        QTest::qWait(1200);
        QCOMPARE(engine.state(), TextToSpeechState::Paused);
        engine.resume();
    }
    QTRY_COMPARE_WITH_TIMEOUT(engine.state(), TextToSpeechState::Ready, 30000);
    QTest::qWait(300);

    const QList<double> onsets = mMonitor->onsets(BurstThreshold, WordGapSeconds);
    QCOMPARE(words.join(u' '), story.split(u' ').join(u' ').remove(u'.').remove(u','));
    // A pause that falls inside a word splits its sound in two.
    QVERIFY2(onsets.size() >= wordTimes.size() && onsets.size() <= wordTimes.size() + (pauseOnce ? 1 : 0),
             qPrintable(u"%1 sounds for %2 words"_s.arg(onsets.size()).arg(wordTimes.size())));
    QList<double> errors;
    for (double wordTime : std::as_const(wordTimes)) {
        const auto nearest = std::min_element(onsets.cbegin(), onsets.cend(), [wordTime](double a, double b) {
            return qAbs(a - wordTime) < qAbs(b - wordTime);
        });
        errors.append(qAbs(*nearest - wordTime));
    }
    const double median = percentile(errors, 0.5);
    const double p90 = percentile(errors, 0.9);
    qInfo("word against its sound: median %.0f ms, p90 %.0f ms over %d words", median * 1000, p90 * 1000, int(errors.size()));
    QVERIFY2(p90 <= 0.15, qPrintable(u"p90 %1 ms"_s.arg(p90 * 1000)));

    // Ready once the audio has played to its end, the voice's silence after the last word
    // included, and not when the audio server finally goes quiet.
    const double silenceAtTheEnd = FinalStopSeconds / (rate >= 0 ? 1.0 + rate : 1.0 + rate / 2.0);
    const double afterTheEnd = readyTime - mMonitor->lastSoundEnd(BurstThreshold) - silenceAtTheEnd;
    QVERIFY2(afterTheEnd >= -0.05 && afterTheEnd <= 0.2, qPrintable(u"Ready %1 ms after the end of the audio"_s.arg(afterTheEnd * 1000)));
}

void tst_TextToSpeechKokoroTiming::helperWaitsForASlowListener()
{
    // About two seconds of audio per sentence, eighty seconds in all, synthesized in well under
    // a second: without being held back, the helper would have done it all at once.
    QStringList sentences;
    for (int i = 0; i < 40; ++i)
        sentences.append(u"Sentence number %1 is being read aloud right now."_s.arg(i));
    TextToSpeechKokoro engine;
    int heard = 0;
    connect(&engine, &TextToSpeechKokoro::sayingSentence, this, [&heard] {
        ++heard;
    });
    engine.say(sentences.join(u' '));
    QTRY_VERIFY_WITH_TIMEOUT(heard >= 2, 15000);
    engine.pause();
    QTest::qWait(2000);
    const int synthesized = countLogged(u"call"_s);
    // What was heard, twenty seconds more and the sentence in hand.
    QVERIFY2(synthesized >= 8 && synthesized <= heard + 13, qPrintable(u"%1 synthesized, %2 heard"_s.arg(synthesized).arg(heard)));
    QTest::qWait(1000);
    QCOMPARE(countLogged(u"call"_s), synthesized);

    engine.resume();
    QTRY_VERIFY_WITH_TIMEOUT(countLogged(u"call"_s) > synthesized, 10000);
    engine.stop();
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroTiming)
#include "tst_texttospeechkokorotiming.moc"
