#include "fakehelperenvironment.h"
#include "pulseaudioserver.h"

#include <QDir>
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
const char formatAction[] = R"({"frame":{"type":"format","id":"$id","sampleRate":24000,"channels":1,"sampleFormat":"int16"}})";
const char endAction[] = R"({"frame":{"type":"end","id":"$id"}})";

QByteArray audioAction(double seconds)
{
    return R"({"audio":{"id":"$id","seconds":)" + QByteArray::number(seconds) + R"(,"chunkBytes":4800}})";
}

// Two sentences, the second late: the helper is slower than playback, so the sink runs dry
// between them as it does while a real voice synthesizes the next sentence.
QByteArray twoSentences(int gapMs = 400)
{
    return R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(0.5) + R"(,{"sleep":)" + QByteArray::number(gapMs) + "},"
        + audioAction(0.5) + "," + endAction + "]}}";
}

// The voices put into the model cache, as a download would leave them.
const QStringList cachedVoices{u"af_heart"_s, u"af_bella"_s, u"am_adam"_s, u"bf_emma"_s, u"ff_siwis"_s, u"zf_xiaobei"_s};

QStringList stateNames(const QSignalSpy &spy)
{
    QStringList names;
    for (const QList<QVariant> &arguments : spy)
        names.append(QString::fromLatin1(QMetaEnum::fromType<QTextToSpeech::State>().valueToKey(arguments.at(0).value<QTextToSpeech::State>())));
    return names;
}

QStringList voiceNames(const QList<QVoice> &voices)
{
    QStringList names;
    for (const QVoice &voice : voices)
        names.append(voice.name());
    return names;
}
} // namespace

class tst_KokoroQtPlugin : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void engineIsListed();
    void notInstalled();
    void readyAtOnce();
    void voicesAndLocales();
    void voicesWithoutCache();
    void startingVoice_data();
    void startingVoice();
    void setLocale_data();
    void setLocale();
    void setVoice();
    void properties_data();
    void properties();
    void pitchReachesHelper();
    void states_data();
    void states();
    void everyVoiceSpeaks();

private:
    bool cacheVoices(const QStringList &identifiers);
    std::unique_ptr<QTextToSpeech> createEngine(const QByteArray &scenario = twoSentences());

    std::unique_ptr<PulseAudioServer> mServer;
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    std::unique_ptr<QTemporaryDir> mCache;
};

void tst_KokoroQtPlugin::initTestCase()
{
    mServer = std::make_unique<PulseAudioServer>();
    if (!mServer->start())
        QSKIP(qPrintable(u"No PulseAudio server: "_s + mServer->errorString()));
    QVERIFY(mServer->runAtSoundCardLatency());
}

void tst_KokoroQtPlugin::init()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(cacheVoices(cachedVoices));
}

void tst_KokoroQtPlugin::cleanup()
{
    mEnvironment.reset();
    mCache.reset();
    qunsetenv("HF_HUB_CACHE");
}

bool tst_KokoroQtPlugin::cacheVoices(const QStringList &identifiers)
{
    mCache = std::make_unique<QTemporaryDir>();
    qputenv("HF_HUB_CACHE", QFile::encodeName(mCache->path()));
    const QString voices = mCache->path() + u"/models--hexgrad--Kokoro-82M/snapshots/0123abc/voices"_s;
    if (!QDir().mkpath(voices))
        return false;
    for (const QString &identifier : identifiers) {
        if (!FakeHelperEnvironment::writeFile(voices + u'/' + identifier + u".pt"_s, "voice"))
            return false;
    }
    return true;
}

std::unique_ptr<QTextToSpeech> tst_KokoroQtPlugin::createEngine(const QByteArray &scenario)
{
    if (!mEnvironment->setScenario(scenario))
        return {};
    auto speech = std::make_unique<QTextToSpeech>(u"kokoro"_s);
    return speech->engine() == "kokoro"_L1 ? std::move(speech) : nullptr;
}

void tst_KokoroQtPlugin::engineIsListed()
{
    QVERIFY2(QTextToSpeech::availableEngines().contains(u"kokoro"_s), qPrintable(QTextToSpeech::availableEngines().join(u", "_s)));
}

void tst_KokoroQtPlugin::notInstalled()
{
    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    auto speech = createEngine();
    QVERIFY(speech);
    QCOMPARE(speech->state(), QTextToSpeech::Error);
    QCOMPARE(speech->errorReason(), QTextToSpeech::ErrorReason::Initialization);
    QVERIFY2(speech->errorString().contains("earlobe-larynx-setup install kokoro"_L1), qPrintable(speech->errorString()));

    QSignalSpy errors(speech.get(), &QTextToSpeech::errorOccurred);
    speech->say(u"Hello"_s);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(0).value<QTextToSpeech::ErrorReason>(), QTextToSpeech::ErrorReason::Initialization);
    QCOMPARE(speech->state(), QTextToSpeech::Error);
    QTest::qWait(100);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_KokoroQtPlugin::readyAtOnce()
{
    QElapsedTimer timer;
    timer.start();
    auto speech = createEngine();
    QVERIFY(speech);
    QCOMPARE(speech->state(), QTextToSpeech::Ready);
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    // Python starts with the first say(), not with the engine.
    QTest::qWait(100);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_KokoroQtPlugin::voicesAndLocales()
{
    auto speech = createEngine();
    QVERIFY(speech);
    const QList<QLocale> locales = speech->availableLocales();
    QCOMPARE(locales, QList<QLocale>({QLocale(u"en_US"_s), QLocale(u"en_GB"_s), QLocale(u"fr_FR"_s), QLocale(u"zh_CN"_s)}));
    QCOMPARE(speech->locale(), QLocale(u"en_US"_s));
    QCOMPARE(voiceNames(speech->availableVoices()), QStringList({u"Heart"_s, u"Bella"_s, u"Adam"_s}));
    QCOMPARE(speech->voice().name(), u"Heart"_s);
    QCOMPARE(speech->voice().gender(), QVoice::Female);
    QCOMPARE(speech->voice().age(), QVoice::Adult);
    QCOMPARE(speech->availableVoices().at(2).gender(), QVoice::Male);

    // The same values every time, and from every engine: voices compare by their data too.
    QCOMPARE(speech->availableVoices(), speech->availableVoices());
    QTextToSpeech other(u"kokoro"_s);
    QCOMPARE(other.availableVoices(), speech->availableVoices());
    QCOMPARE(other.voice(), speech->voice());

    // Every locale has voices of its own, and only of its own.
    for (const QLocale &locale : locales) {
        speech->setLocale(locale);
        QCOMPARE(speech->locale(), locale);
        QVERIFY(!speech->availableVoices().isEmpty());
        for (const QVoice &voice : speech->availableVoices())
            QCOMPARE(voice.locale(), locale);
    }
}

void tst_KokoroQtPlugin::voicesWithoutCache()
{
    // Nothing downloaded yet: the catalogue's languages, which the helper fetches when asked.
    QVERIFY(cacheVoices({}));
    auto speech = createEngine();
    QVERIFY(speech);
    QCOMPARE(speech->availableLocales().size(), 7);
    QCOMPARE(speech->availableVoices().size(), 20);
    QCOMPARE(speech->voice().name(), u"Heart"_s);
}

void tst_KokoroQtPlugin::startingVoice_data()
{
    QTest::addColumn<QLocale>("applicationLocale");
    QTest::addColumn<QLocale>("expectedLocale");
    QTest::addColumn<QString>("expectedVoice");

    const QLocale american(u"en_US"_s);
    QTest::newRow("American English") << american << american << u"Heart"_s;
    QTest::newRow("British English") << QLocale(u"en_GB"_s) << QLocale(u"en_GB"_s) << u"Emma"_s;
    QTest::newRow("French") << QLocale(u"fr_FR"_s) << QLocale(u"fr_FR"_s) << u"Siwis"_s;
    QTest::newRow("Canadian French takes France's") << QLocale(u"fr_CA"_s) << QLocale(u"fr_FR"_s) << u"Siwis"_s;
    QTest::newRow("C") << QLocale::c() << american << u"Heart"_s;
    QTest::newRow("German has no voice") << QLocale(u"de_DE"_s) << american << u"Heart"_s;
    QTest::newRow("Spanish, not downloaded") << QLocale(u"es_ES"_s) << american << u"Heart"_s;
}

void tst_KokoroQtPlugin::startingVoice()
{
    QFETCH(QLocale, applicationLocale);
    QFETCH(QLocale, expectedLocale);
    QFETCH(QString, expectedVoice);

    QLocale::setDefault(applicationLocale);
    auto speech = createEngine();
    QVERIFY(speech);
    QCOMPARE(speech->state(), QTextToSpeech::Ready);
    QCOMPARE(speech->locale(), expectedLocale);
    QCOMPARE(speech->voice().name(), expectedVoice);
    QVERIFY(speech->availableVoices().contains(speech->voice()));
}

void tst_KokoroQtPlugin::setLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QLocale>("expectedLocale");
    QTest::addColumn<QString>("expectedVoice");
    QTest::addColumn<int>("localeSignals");
    QTest::addColumn<int>("voiceSignals");

    QTest::newRow("British English") << QLocale(u"en_GB"_s) << QLocale(u"en_GB"_s) << u"Emma"_s << 1 << 1;
    QTest::newRow("Chinese, hidden by default but downloaded") << QLocale(u"zh_CN"_s) << QLocale(u"zh_CN"_s) << u"Xiaobei"_s << 1 << 1;
    QTest::newRow("the current one") << QLocale(u"en_US"_s) << QLocale(u"en_US"_s) << u"Bella"_s << 0 << 0;
    QTest::newRow("without a voice") << QLocale(u"de_DE"_s) << QLocale(u"en_US"_s) << u"Bella"_s << 0 << 0;
    QTest::newRow("C") << QLocale::c() << QLocale(u"en_US"_s) << u"Bella"_s << 0 << 0;
}

void tst_KokoroQtPlugin::setLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QLocale, expectedLocale);
    QFETCH(QString, expectedVoice);
    QFETCH(int, localeSignals);
    QFETCH(int, voiceSignals);

    auto speech = createEngine();
    QVERIFY(speech);
    // A voice other than the locale's first, so that a needless switch would show.
    speech->setVoice(speech->availableVoices().at(1));
    QCOMPARE(speech->voice().name(), u"Bella"_s);
    QSignalSpy localeSpy(speech.get(), &QTextToSpeech::localeChanged);
    QSignalSpy voiceSpy(speech.get(), &QTextToSpeech::voiceChanged);
    speech->setLocale(locale);
    QCOMPARE(speech->locale(), expectedLocale);
    QCOMPARE(speech->voice().name(), expectedVoice);
    QCOMPARE(speech->voice().locale(), expectedLocale);
    QCOMPARE(localeSpy.size(), localeSignals);
    QCOMPARE(voiceSpy.size(), voiceSignals);
    QCOMPARE(speech->state(), QTextToSpeech::Ready);
}

void tst_KokoroQtPlugin::setVoice()
{
    auto speech = createEngine();
    QVERIFY(speech);
    speech->setLocale(QLocale(u"fr_FR"_s));
    const QVoice siwis = speech->voice();
    speech->setLocale(QLocale(u"en_US"_s));

    QSignalSpy localeSpy(speech.get(), &QTextToSpeech::localeChanged);
    QSignalSpy voiceSpy(speech.get(), &QTextToSpeech::voiceChanged);
    speech->setVoice(siwis);
    QCOMPARE(speech->voice(), siwis);
    QCOMPARE(speech->locale(), QLocale(u"fr_FR"_s));
    QCOMPARE(voiceNames(speech->availableVoices()), QStringList{u"Siwis"_s});
    QCOMPARE(voiceSpy.size(), 1);
    QCOMPARE(localeSpy.size(), 1);
    QCOMPARE(speech->state(), QTextToSpeech::Ready);

    // Again: nothing changes.
    speech->setVoice(siwis);
    QCOMPARE(voiceSpy.size(), 1);
    // A voice this engine does not offer is refused.
    speech->setVoice(QVoice());
    QCOMPARE(speech->voice(), siwis);
    QCOMPARE(voiceSpy.size(), 1);
    QCOMPARE(localeSpy.size(), 1);
}

void tst_KokoroQtPlugin::properties_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("initial");

    QTest::newRow("rate") << "rate"_ba << 0.3 << 0.0;
    QTest::newRow("slowest rate") << "rate"_ba << -1.0 << 0.0;
    QTest::newRow("pitch") << "pitch"_ba << -0.7 << 0.0;
    QTest::newRow("highest pitch") << "pitch"_ba << 1.0 << 0.0;
    QTest::newRow("volume") << "volume"_ba << 0.35 << 1.0;
    QTest::newRow("silent") << "volume"_ba << 0.0 << 1.0;
}

void tst_KokoroQtPlugin::properties()
{
    QFETCH(QByteArray, property);
    QFETCH(double, value);
    QFETCH(double, initial);

    auto speech = createEngine();
    QVERIFY(speech);
    const QMetaProperty meta = speech->metaObject()->property(speech->metaObject()->indexOfProperty(property.constData()));
    QCOMPARE(speech->property(property.constData()).toDouble(), initial);
    QSignalSpy changed(speech.get(), meta.notifySignal());
    QVERIFY(speech->setProperty(property.constData(), value));
    QCOMPARE(speech->property(property.constData()).toDouble(), value);
    QCOMPARE(changed.size(), 1);
    QVERIFY(speech->setProperty(property.constData(), value));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(speech->state(), QTextToSpeech::Ready);
}

void tst_KokoroQtPlugin::pitchReachesHelper()
{
    auto speech = createEngine();
    QVERIFY(speech);
    speech->setPitch(-0.5);
    speech->say(u"Low"_s);
    QTRY_COMPARE_WITH_TIMEOUT(speech->state(), QTextToSpeech::Ready, 10000);
    speech->setPitch(0.0);
    speech->say(u"Plain"_s);
    QTRY_COMPARE_WITH_TIMEOUT(speech->state(), QTextToSpeech::Ready, 10000);
    const QList<QByteArray> lines = mEnvironment->recorded().split('\n');
    QCOMPARE(lines.at(0), R"({"cmd":"say","id":1,"pitch":-3,"sampleFormat":"int16","speed":1,"text":"Low","voice":"af_heart"})"_ba);
    // Pitch 0 leaves the key out: the helper does no pitch work.
    const qsizetype plain = mEnvironment->recorded().indexOf(R"({"cmd":"say","id":2,)");
    QVERIFY2(plain > 0, mEnvironment->recorded());
    QVERIFY(mEnvironment->recorded().mid(plain).startsWith(R"({"cmd":"say","id":2,"sampleFormat":"int16","speed":1,"text":"Plain")"));
}

void tst_KokoroQtPlugin::states_data()
{
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("two sentences") << QStringList() << QStringList{u"Speaking"_s, u"Ready"_s};
    QTest::newRow("pause, resume") << QStringList{u"wait:300"_s, u"pause"_s, u"wait:800"_s, u"resume"_s}
                                   << QStringList{u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s};
    QTest::newRow("pause in the second sentence") << QStringList{u"wait:750"_s, u"pause"_s, u"wait:800"_s, u"resume"_s}
                                                  << QStringList{u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s};
    QTest::newRow("pause at once") << QStringList{u"pause"_s, u"wait:800"_s, u"resume"_s}
                                   << QStringList{u"Speaking"_s, u"Paused"_s, u"Speaking"_s, u"Ready"_s};
    QTest::newRow("stop") << QStringList{u"wait:300"_s, u"stop"_s} << QStringList{u"Speaking"_s, u"Ready"_s};
    QTest::newRow("stop while paused") << QStringList{u"wait:300"_s, u"pause"_s, u"stop"_s}
                                       << QStringList{u"Speaking"_s, u"Paused"_s, u"Ready"_s};
}

void tst_KokoroQtPlugin::states()
{
    QFETCH(QStringList, operations);
    QFETCH(QStringList, expected);

    auto speech = createEngine();
    QVERIFY(speech);
    QSignalSpy spy(speech.get(), &QTextToSpeech::stateChanged);
    speech->say(u"The first sentence. The second one."_s);
    QCOMPARE(speech->state(), QTextToSpeech::Speaking);
    for (const QString &operation : std::as_const(operations)) {
        if (operation.startsWith("wait:"_L1))
            QTest::qWait(operation.section(u':', 1).toInt());
        else if (operation == "pause"_L1)
            speech->pause();
        else if (operation == "resume"_L1)
            speech->resume();
        else if (operation == "stop"_L1)
            speech->stop();
        QCOMPARE(stateNames(spy).constLast(), expected.at(spy.size() - 1));
    }
    QTRY_COMPARE_WITH_TIMEOUT(speech->state(), QTextToSpeech::Ready, 10000);
    // Nothing more comes once it is over.
    QTest::qWait(300);
    QCOMPARE(stateNames(spy), expected);
}

void tst_KokoroQtPlugin::everyVoiceSpeaks()
{
    auto speech = createEngine(R"({"commands":{"say":[)" + QByteArray(formatAction) + "," + audioAction(0.1) + "," + endAction + "]}}");
    QVERIFY(speech);
    QStringList spoken;
    const QList<QLocale> locales = speech->availableLocales();
    for (const QLocale &locale : locales) {
        speech->setLocale(locale);
        const QList<QVoice> voices = speech->availableVoices();
        for (const QVoice &voice : voices) {
            speech->setVoice(voice);
            QSignalSpy spy(speech.get(), &QTextToSpeech::stateChanged);
            speech->say(u"Hello"_s);
            QTRY_COMPARE_WITH_TIMEOUT(speech->state(), QTextToSpeech::Ready, 10000);
            QCOMPARE(stateNames(spy), QStringList({u"Speaking"_s, u"Ready"_s}));
        }
    }
    // Each voice reached the helper under its identifier, in the order they were asked for.
    const QList<QByteArray> lines = mEnvironment->recorded().split('\n');
    for (const QByteArray &line : lines) {
        const int start = line.indexOf(R"("voice":")");
        if (line.contains(R"("cmd":"say")"))
            spoken.append(QString::fromUtf8(line.mid(start + 9, line.indexOf('"', start + 9) - start - 9)));
    }
    QCOMPARE(spoken, QStringList({u"af_heart"_s, u"af_bella"_s, u"am_adam"_s, u"bf_emma"_s, u"ff_siwis"_s, u"zf_xiaobei"_s}));
}

QTEST_GUILESS_MAIN(tst_KokoroQtPlugin)
#include "tst_kokoroqtplugin.moc"
