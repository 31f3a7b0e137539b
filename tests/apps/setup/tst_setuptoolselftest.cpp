#include "fakehelperenvironment.h"
#include "toolrun.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
QJsonObject frame(const QJsonObject &object)
{
    return {{u"frame"_s, object}};
}

QJsonObject stage(const QString &name, const QJsonObject &fields = {})
{
    QJsonObject object = fields;
    object.insert(u"type"_s, u"stage"_s);
    object.insert(u"stage"_s, name);
    return frame(object);
}

QJsonObject result(const QJsonObject &fields)
{
    QJsonObject object = fields;
    object.insert(u"type"_s, u"result"_s);
    return frame(object);
}

QJsonObject exitWith(int code)
{
    return {{u"exit"_s, code}};
}

QJsonObject stderrLine(const QString &line)
{
    return {{u"stderr"_s, line + u'\n'}};
}

QByteArray scenario(const QJsonArray &selftest)
{
    return QJsonDocument(QJsonObject{{u"modes"_s, QJsonObject{{u"selftest"_s, selftest}}}}).toJson(QJsonDocument::Compact);
}

const QJsonObject whisperLoad{{u"model"_s, u"small"_s}, {u"device"_s, u"cpu"_s}, {u"computeType"_s, u"int8"_s}};
const QJsonObject whisperWorks{{u"ok"_s, true},          {u"model"_s, u"small"_s},         {u"device"_s, u"cpu"_s},
                               {u"computeType"_s, u"int8"_s}, {u"passSeconds"_s, 0.42}, {u"loadSeconds"_s, 1.9},
                               {u"verdict"_s, u"live"_s}};
} // namespace

// "earlobe-larynx-setup test": the one-line verdict on standard output, the stages on
// standard error, and an exit code that tells what to do next.
class tst_SetupToolSelfTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void whisper_data();
    void whisper();
    void kokoro_data();
    void kokoro();
    void choice_data();
    void choice();
    void needsAnEnvironment_data();
    void needsAnEnvironment();
    void badUsage_data();
    void badUsage();

private:
    void addOutcomeColumns();
    void runOutcome(const QString &feature);

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_SetupToolSelfTest::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_SetupToolSelfTest::cleanup()
{
    mEnvironment.reset();
}

void tst_SetupToolSelfTest::addOutcomeColumns()
{
    QTest::addColumn<QJsonArray>("actions");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("out");
    QTest::addColumn<QStringList>("err");
}

void tst_SetupToolSelfTest::runOutcome(const QString &feature)
{
    QFETCH(QJsonArray, actions);
    QFETCH(int, exitCode);
    QFETCH(QStringList, out);
    QFETCH(QStringList, err);

    QVERIFY(mEnvironment->createVenv(feature));
    QVERIFY(mEnvironment->installFakeHelper(feature + "_helper.py"_L1));
    QVERIFY(mEnvironment->setScenario(scenario(actions)));

    const ToolRun run = ToolRun::run({u"test"_s, feature});
    QVERIFY2(run.exitCode == exitCode, run.describe());
    QCOMPARE(run.out, out);
    QCOMPARE(run.err, err);
}

void tst_SetupToolSelfTest::whisper_data()
{
    addOutcomeColumns();
    const QString loading = u"Loading the small model…"_s;
    const QString timingOnCpu = u"Timing one pass over 30 s of audio on the CPU (int8)…"_s;

    QTest::newRow("works") << QJsonArray{stage(u"load"_s, whisperLoad), stage(u"time"_s, whisperLoad), result(whisperWorks)} << 0
                           << QStringList{u"Dictation works: small on CPU (int8), 0.42 s per pass: fast enough for live partials."_s}
                           << QStringList{loading, timingOnCpu};

    QJsonObject fellBack = whisperWorks;
    fellBack.insert(u"passSeconds"_s, 3.1);
    fellBack.insert(u"verdict"_s, u"final"_s);
    fellBack.insert(u"requestedDevice"_s, u"cuda"_s);
    fellBack.insert(u"requestedComputeType"_s, u"float16"_s);
    fellBack.insert(u"fallbackReason"_s, u"the trial run was killed by SIGABRT"_s);
    const QJsonObject onGpu{{u"model"_s, u"small"_s}, {u"device"_s, u"cuda"_s}, {u"computeType"_s, u"float16"_s}};
    QTest::newRow("falls back to the CPU")
        << QJsonArray{stage(u"load"_s, onGpu),
                      stage(u"fallback"_s, {{u"device"_s, u"cpu"_s}, {u"computeType"_s, u"int8"_s}, {u"reason"_s, u"the trial run was killed by SIGABRT"_s}}),
                      stage(u"time"_s, whisperLoad), result(fellBack)}
        << 0 << QStringList{u"Dictation works: small on CPU (int8), 3.10 s per pass: fast enough for the final text only."_s}
        << QStringList{loading,
                       u"The small model cannot run on GPU with float16 (the trial run was killed by SIGABRT): dictation uses the CPU with "
                       "int8 instead."_s,
                       timingOnCpu};

    // What is not there yet is told apart from a test that ran and failed.
    QTest::newRow("model not downloaded")
        << QJsonArray{result({{u"ok"_s, false}, {u"model"_s, u"small"_s}, {u"problem"_s, u"notDownloaded"_s}, {u"error"_s, u"not on disk"_s}}),
                      exitWith(1)}
        << 2 << QStringList{u"Dictation cannot work yet: the small model is not downloaded. Download the small model first."_s} << QStringList{};
    QTest::newRow("modules missing")
        << QJsonArray{result({{u"ok"_s, false},
                              {u"model"_s, u"small"_s},
                              {u"problem"_s, u"notInstalled"_s},
                              {u"missing"_s, QJsonArray{u"faster-whisper"_s}}}),
                      exitWith(1)}
        << 2 << QStringList{u"Dictation cannot work yet: python modules are missing (faster-whisper). Install them first."_s} << QStringList{};
    QTest::newRow("fails")
        << QJsonArray{stage(u"load"_s, whisperLoad),
                      result({{u"ok"_s, false}, {u"model"_s, u"small"_s}, {u"problem"_s, u"failed"_s}, {u"error"_s, u"out of memory"_s}}),
                      exitWith(1)}
        << 3 << QStringList{u"Dictation does not work: out of memory"_s} << QStringList{loading};
    QTest::newRow("helper crashes") << QJsonArray{stage(u"load"_s, whisperLoad), stderrLine(u"Illegal instruction in libctranslate2"_s),
                                                  QJsonObject{{u"signal"_s, 4}}}
                                    << 3 << QStringList{u"Dictation does not work: Illegal instruction in libctranslate2"_s}
                                    << QStringList{loading};
}

void tst_SetupToolSelfTest::whisper()
{
    runOutcome(u"whisper"_s);
}

void tst_SetupToolSelfTest::kokoro_data()
{
    addOutcomeColumns();
    const QJsonObject voice{{u"voice"_s, u"af_heart"_s}};
    const QStringList stages{u"Loading the voice af_heart…"_s, u"Timing the synthesis of a test sentence with af_heart…"_s};

    QTest::newRow("works") << QJsonArray{stage(u"load"_s, voice), stage(u"time"_s, voice),
                                         result({{u"ok"_s, true},
                                                 {u"voice"_s, u"af_heart"_s},
                                                 {u"device"_s, u"cpu"_s},
                                                 {u"loadSeconds"_s, 3.1},
                                                 {u"synthesisSeconds"_s, 1.2},
                                                 {u"audioSeconds"_s, 4.8},
                                                 {u"realTimeFactor"_s, 0.25},
                                                 {u"verdict"_s, u"smooth"_s}})}
                           << 0
                           << QStringList{u"Read-aloud works: af_heart on CPU, 4.8 s of speech in 1.2 s (real-time factor 0.25): fast enough to "
                                          "read without pauses."_s}
                           << stages;
    QTest::newRow("voice not downloaded")
        << QJsonArray{result({{u"ok"_s, false}, {u"voice"_s, u"af_heart"_s}, {u"problem"_s, u"notDownloaded"_s}}), exitWith(1)} << 2
        << QStringList{u"Read-aloud cannot work yet: the voice af_heart is not downloaded. Download it first."_s} << QStringList{};
    QTest::newRow("packages missing") << QJsonArray{result({{u"ok"_s, false},
                                                            {u"voice"_s, u"af_heart"_s},
                                                            {u"problem"_s, u"missingPackages"_s},
                                                            {u"missing"_s, QJsonArray{u"en_core_web_sm"_s}}}),
                                                    exitWith(1)}
                                      << 2
                                      << QStringList{u"Read-aloud cannot work yet: the voice af_heart needs python packages that are not "
                                                     "installed (en_core_web_sm). Download the voice again to install them."_s}
                                      << QStringList{};
    QTest::newRow("helper says nothing") << QJsonArray{stderrLine(u"No module named 'torch'"_s), exitWith(1)} << 3
                                         << QStringList{u"Read-aloud does not work: No module named 'torch'"_s} << QStringList{};
}

void tst_SetupToolSelfTest::kokoro()
{
    runOutcome(u"kokoro"_s);
}

void tst_SetupToolSelfTest::choice_data()
{
    QTest::addColumn<QString>("feature");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("helperArguments");

    QTest::newRow("whisper, nothing stored") << u"whisper"_s << QStringList{} << QByteArray() << u"selftest"_s;
    QTest::newRow("whisper, stored settings") << u"whisper"_s << QStringList{}
                                              << "[WhisperSpeechToText]\nModel=tiny\nDevice=cuda\nComputeType=float16\nLanguage=de\n"_ba
                                              << u"selftest --model tiny --device cuda --compute-type float16 --language de"_s;
    QTest::newRow("whisper, another model") << u"whisper"_s << QStringList{u"--model"_s, u"large-v3"_s} << "[WhisperSpeechToText]\nModel=tiny\n"_ba
                                            << u"selftest --model large-v3"_s;
    // The voice the editor reads with, else the default one.
    QTest::newRow("kokoro, nothing stored") << u"kokoro"_s << QStringList{} << QByteArray() << u"selftest af_heart"_s;
    QTest::newRow("kokoro, the reader's voice") << u"kokoro"_s << QStringList{} << "[ReadAloud]\nVoice=ef_dora\n"_ba << u"selftest ef_dora"_s;
    QTest::newRow("kokoro, another voice") << u"kokoro"_s << QStringList{u"--voice"_s, u"bf_emma"_s} << "[ReadAloud]\nVoice=ef_dora\n"_ba
                                           << u"selftest bf_emma"_s;
}

void tst_SetupToolSelfTest::choice()
{
    QFETCH(QString, feature);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, settings);
    QFETCH(QString, helperArguments);

    QVERIFY(mEnvironment->createVenv(feature));
    QVERIFY(mEnvironment->installFakeHelper(feature + "_helper.py"_L1));
    QVERIFY(mEnvironment->setScenario(scenario({exitWith(1)})));
    if (!settings.isEmpty()) {
        QVERIFY(QDir().mkpath(mEnvironment->home() + "/.config"_L1));
        QVERIFY(FakeHelperEnvironment::writeFile(mEnvironment->home() + "/.config/earlobe-larynxrc"_L1, settings));
    }

    const ToolRun run = ToolRun::run(QStringList{u"test"_s, feature} + options);
    QVERIFY2(run.exitCode == 3, run.describe());
    QCOMPARE(mEnvironment->startArguments(), QStringList{helperArguments});
}

void tst_SetupToolSelfTest::needsAnEnvironment_data()
{
    QTest::addColumn<QString>("feature");
    QTest::newRow("whisper") << u"whisper"_s;
    QTest::newRow("kokoro") << u"kokoro"_s;
}

void tst_SetupToolSelfTest::needsAnEnvironment()
{
    QFETCH(QString, feature);
    QVERIFY(mEnvironment->installFakeHelper(feature + "_helper.py"_L1));

    const ToolRun run = ToolRun::run({u"test"_s, feature});
    QVERIFY2(run.exitCode == 2, run.describe());
    QCOMPARE(run.err,
             QStringList{u"The %1 environment %2/.venv/%1 does not exist yet. Create it with: earlobe-larynx-setup install %1"_s.arg(
                 feature, mEnvironment->home())});
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_SetupToolSelfTest::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("no feature") << QStringList{u"test"_s} << u"test: an argument is missing: whisper|kokoro"_s;
    QTest::newRow("unknown feature") << QStringList{u"test"_s, u"espeak"_s} << u"test: unknown argument espeak, expected whisper|kokoro"_s;
    QTest::newRow("a model for kokoro") << QStringList{u"test"_s, u"kokoro"_s, u"--model"_s, u"small"_s} << u"test: --model is for whisper"_s;
    QTest::newRow("a voice for whisper") << QStringList{u"test"_s, u"whisper"_s, u"--voice"_s, u"af_heart"_s}
                                         << u"test: --voice is for kokoro"_s;
    QTest::newRow("a model without its name") << QStringList{u"test"_s, u"whisper"_s, u"--model"_s} << u"Missing value after '--model'."_s;
}

void tst_SetupToolSelfTest::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);

    for (const QString &feature : {u"whisper"_s, u"kokoro"_s}) {
        QVERIFY(mEnvironment->createVenv(feature));
        QVERIFY(mEnvironment->installFakeHelper(feature + "_helper.py"_L1));
    }
    const ToolRun run = ToolRun::run(arguments);
    QVERIFY2(run.exitCode == 1, run.describe());
    QVERIFY2(run.err.value(0).endsWith(error), run.describe());
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SetupToolSelfTest)

#include "tst_setuptoolselftest.moc"
