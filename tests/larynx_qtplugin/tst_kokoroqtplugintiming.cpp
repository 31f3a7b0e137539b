#include "fakehelperenvironment.h"
#include "monitorrecorder.h"
#include "pulseaudioserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextToSpeech>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
// The stand-in's bursts voice renders each word as a burst of tone at half of full scale.
constexpr int BurstThreshold = 4000;
// The silence it gives a full stop, at normal speed.
constexpr double FinalStopSeconds = 0.12;

const QString twoSentences = u"The keeper climbed the stairs at dusk. He carried a lamp and a notebook."_s;

QStringList stateNames(const QSignalSpy &spy)
{
    QStringList names;
    for (const QList<QVariant> &arguments : spy)
        names.append(QString::fromLatin1(QMetaEnum::fromType<QTextToSpeech::State>().valueToKey(arguments.at(0).value<QTextToSpeech::State>())));
    return names;
}
} // namespace

class tst_KokoroQtPluginTiming : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void sayToSpeakingToReady_data();
    void sayToSpeakingToReady();
    void slowerRateTakesLonger();

private:
    // Says the text and returns how long its sound lasted, first sound to last.
    double speak(QTextToSpeech &speech, const QString &text);

    std::unique_ptr<PulseAudioServer> mServer;
    std::unique_ptr<MonitorRecorder> mMonitor;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QTemporaryDir mCache;
};

void tst_KokoroQtPluginTiming::initTestCase()
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
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_KokoroQtPluginTiming::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installScript(QStringLiteral(HELPERS_DIR "/kokoro_helper.py"), u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_KokoroQtPluginTiming::cleanup()
{
    mEnvironment.reset();
}

void tst_KokoroQtPluginTiming::sayToSpeakingToReady_data()
{
    QTest::addColumn<bool>("pauseInTheSecondSentence");
    QTest::newRow("straight through") << false;
    QTest::newRow("paused in the second sentence") << true;
}

void tst_KokoroQtPluginTiming::sayToSpeakingToReady()
{
    QFETCH(bool, pauseInTheSecondSentence);

    QTextToSpeech speech(u"kokoro"_s);
    QCOMPARE(speech.engine(), u"kokoro"_s);
    QCOMPARE(speech.state(), QTextToSpeech::Ready);
    QSignalSpy spy(&speech, &QTextToSpeech::stateChanged);
    double speakingTime = 0;
    double readyTime = 0;
    connect(&speech, &QTextToSpeech::stateChanged, this, [&](QTextToSpeech::State state) {
        if (state == QTextToSpeech::Speaking && speakingTime == 0)
            speakingTime = MonitorRecorder::clock();
        if (state == QTextToSpeech::Ready)
            readyTime = MonitorRecorder::clock();
    });

    mMonitor->clear();
    const double sayTime = MonitorRecorder::clock();
    speech.say(twoSentences);
    QCOMPARE(speech.state(), QTextToSpeech::Speaking);
    if (pauseInTheSecondSentence) {
        // The first sentence and the stop after it, well into the second.
        QTRY_VERIFY_WITH_TIMEOUT(mMonitor->sounds(BurstThreshold, 0.2).size() >= 2, 15000);
        speech.pause();
        QCOMPARE(speech.state(), QTextToSpeech::Paused);
        QTest::qWait(800);
        QCOMPARE(speech.state(), QTextToSpeech::Paused);
        speech.resume();
    }
    QTRY_COMPARE_WITH_TIMEOUT(speech.state(), QTextToSpeech::Ready, 30000);
    QTest::qWait(300);

    const QList<MonitorRecorder::Sound> sounds = mMonitor->sounds(BurstThreshold, 0.015);
    QVERIFY(!sounds.isEmpty());
    const double afterTheEnd = readyTime - mMonitor->lastSoundEnd(BurstThreshold) - FinalStopSeconds;
    qInfo("say to Speaking %.2f ms, say to first sound %.0f ms, last sound (and the voice's final %.0f ms of silence) to Ready %.0f ms",
          (speakingTime - sayTime) * 1000, (sounds.constFirst().start - sayTime) * 1000, FinalStopSeconds * 1000, afterTheEnd * 1000);
    QVERIFY2(speakingTime - sayTime < 0.05, qPrintable(QString::number(speakingTime - sayTime)));
    QVERIFY2(afterTheEnd >= -0.05 && afterTheEnd <= 0.2, qPrintable(u"Ready %1 ms after the end of the audio"_s.arg(afterTheEnd * 1000)));
    // No Ready between the sentences, whatever the helper's pace.
    const QStringList expected = pauseInTheSecondSentence ? QStringList{u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s}
                                                          : QStringList{u"Speaking"_s, u"Ready"_s};
    QCOMPARE(stateNames(spy), expected);
}

double tst_KokoroQtPluginTiming::speak(QTextToSpeech &speech, const QString &text)
{
    mMonitor->clear();
    speech.say(text);
    if (!QTest::qWaitFor(
            [&speech] {
                return speech.state() == QTextToSpeech::Ready;
            },
            30000))
        return -1;
    QTest::qWait(300);
    const QList<MonitorRecorder::Sound> sounds = mMonitor->sounds(BurstThreshold, 0.015);
    return sounds.isEmpty() ? -1 : sounds.constLast().end - sounds.constFirst().start;
}

void tst_KokoroQtPluginTiming::slowerRateTakesLonger()
{
    QTextToSpeech speech(u"kokoro"_s);
    const double normal = speak(speech, twoSentences);
    speech.setRate(-0.5);
    const double slower = speak(speech, twoSentences);
    qInfo("normal rate %.2f s, rate -0.5 %.2f s", normal, slower);
    QVERIFY(normal > 0);
    // Rate -0.5 is speed 0.75: a third longer.
    QVERIFY2(slower > normal * 1.2, qPrintable(u"%1 s against %2 s"_s.arg(slower).arg(normal)));
}

QTEST_GUILESS_MAIN(tst_KokoroQtPluginTiming)
#include "tst_kokoroqtplugintiming.moc"
