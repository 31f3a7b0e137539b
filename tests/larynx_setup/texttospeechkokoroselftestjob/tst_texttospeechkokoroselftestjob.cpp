#include "fakehelperenvironment.h"

#include <texttospeechkokoroselftestjob.h>

#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::TextToSpeechKokoroSelfTestJob;
using Problem = TextToSpeechKokoroSelfTestJob::Problem;
using Verdict = TextToSpeechKokoroSelfTestJob::Verdict;

// Declared before the scenario texts: moc misreads some raw string literals.
class tst_TextToSpeechKokoroSelfTestJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void outcomes_data();
    void outcomes();
    void figures();
    void stagesAreProgress();
    void voiceIsPassed();
    void unknownVoiceIsRefused();
    void refusals_data();
    void refusals();
    void interpreterThatCannotStart();
    void realHelperWithStandIns();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
// Every signal of a job, in order, as text.
class JobLog : public QObject
{
public:
    explicit JobLog(TextToSpeechKokoroSelfTestJob *job)
    {
        connect(job, &TextToSpeechKokoroSelfTestJob::testMessage, this, [this](const QString &message) {
            mEntries.append("message:"_L1 + message);
        });
        connect(job, &TextToSpeechKokoroSelfTestJob::testDone, this, [this, job](const QString &summary) {
            mEntries.append("done:"_L1 + summary);
            mResult = job->result();
        });
        connect(job, &TextToSpeechKokoroSelfTestJob::testFailed, this, [this, job](const QString &summary) {
            mEntries.append("failed:"_L1 + summary);
            mResult = job->result();
        });
    }
    [[nodiscard]] bool ended() const
    {
        return !mEntries.isEmpty() && (mEntries.constLast().startsWith("done:"_L1) || mEntries.constLast().startsWith("failed:"_L1));
    }
    QStringList mEntries;
    TextToSpeechKokoroSelfTestJob::Result mResult;
};

QByteArray resultLine(const QByteArray &fields)
{
    // One action that writes the result as one line.
    QByteArray line = R"({"type":"result",)" + fields + "}\n";
    line.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return R"({"raw":")" + line + R"("})";
}
} // namespace

void tst_TextToSpeechKokoroSelfTestJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
}

void tst_TextToSpeechKokoroSelfTestJob::cleanup()
{
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroSelfTestJob::outcomes_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<int>("problem");
    QTest::addColumn<QString>("summary");

    const auto works = [](const char *device, const char *verdict) {
        return resultLine(R"("ok":true,"voice":"af_heart","device":")"_ba + device
                          + R"(","loadSeconds":3.1,"synthesisSeconds":1.23,"audioSeconds":4.849,"realTimeFactor":0.2537,"verdict":")" + verdict
                          + R"(")");
    };
    QTest::newRow("smooth on the CPU") << works("cpu", "smooth") << int(Problem::None)
                                       << u"Read-aloud works: af_heart on CPU, 4.8 s of speech in 1.2 s (real-time factor 0.25): "
                                          "fast enough to read without pauses."_s;
    QTest::newRow("tight on the GPU") << works("cuda", "tight") << int(Problem::None)
                                      << u"Read-aloud works: af_heart on GPU, 4.8 s of speech in 1.2 s (real-time factor 0.25): "
                                         "just fast enough: reading may pause while the computer is busy."_s;
    QTest::newRow("slow on another device") << works("mps", "slow") << int(Problem::None)
                                            << u"Read-aloud works: af_heart on mps, 4.8 s of speech in 1.2 s (real-time factor 0.25): "
                                               "too slow: reading will pause between sentences."_s;
    QTest::newRow("no device means the CPU")
        << resultLine(R"("ok":true,"voice":"af_heart","synthesisSeconds":6,"audioSeconds":5,"realTimeFactor":1.2,"verdict":"slow")")
        << int(Problem::None)
        << u"Read-aloud works: af_heart on CPU, 5.0 s of speech in 6.0 s (real-time factor 1.20): too slow: reading will pause between sentences."_s;
    QTest::newRow("a verdict it does not know") << works("cpu", "splendid") << int(Problem::Failed)
                                                << u"Read-aloud does not work: the test gave no verdict"_s;
    QTest::newRow("not downloaded")
        << resultLine(R"("ok":false,"voice":"af_heart","problem":"notDownloaded","error":"voices/af_heart.pt is not in the cache")")
           + R"(,{"exit":1})" << int(Problem::NotDownloaded)
        << u"Read-aloud cannot work yet: the voice af_heart is not downloaded. Download it first."_s;
    QTest::newRow("language packages missing")
        << resultLine(R"("ok":false,"voice":"af_heart","problem":"missingPackages","error":"x","missing":["misaki[ja]","",7,"unidic"])")
           + R"(,{"exit":1})" << int(Problem::MissingPackages)
        << u"Read-aloud cannot work yet: the voice af_heart needs python packages that are not installed (misaki[ja], unidic). "
           "Download the voice again to install them."_s;
    QTest::newRow("modules missing")
        << resultLine(R"("ok":false,"voice":"af_heart","problem":"notInstalled","error":"x","missing":["kokoro","torch"])") + R"(,{"exit":1})"
        << int(Problem::NotInstalled) << u"Read-aloud cannot work yet: python modules are missing (kokoro, torch). Install them first."_s;
    QTest::newRow("helper says bad voice") << resultLine(R"("ok":false,"voice":"af_heart","problem":"badVoice","error":"x")")
                                           << int(Problem::BadVoice) << u"Read-aloud cannot work: there is no voice af_heart."_s;
    QTest::newRow("failed with its error")
        << R"({"stderr":"warming up\n"},)" + resultLine(R"("ok":false,"voice":"af_heart","problem":"failed","error":" RuntimeError: out of memory ")") + R"(,{"exit":1})"
        << int(Problem::Failed) << u"Read-aloud does not work: RuntimeError: out of memory"_s;
    QTest::newRow("failed without error: standard error says")
        << R"({"stderr":"Traceback\nValueError: bad state\n \n"},)" + resultLine(R"("ok":false,"problem":"failed")") + R"(,{"exit":1})"
        << int(Problem::Failed) << u"Read-aloud does not work: ValueError: bad state"_s;
    QTest::newRow("unknown problem is a failure") << resultLine(R"("ok":false,"problem":"weird","error":"it broke")") << int(Problem::Failed)
                                                  << u"Read-aloud does not work: it broke"_s;
    QTest::newRow("only the first result counts")
        << resultLine(R"("ok":false,"problem":"notDownloaded")") + ',' + works("cpu", "smooth") << int(Problem::NotDownloaded)
        << u"Read-aloud cannot work yet: the voice af_heart is not downloaded. Download it first."_s;
    QTest::newRow("no result line, exit 0") << R"({"raw":"not json\n[1]\n"})"_ba << int(Problem::Failed)
                                            << u"Read-aloud does not work: the test stopped with exit code 0"_s;
    QTest::newRow("no result line, exit 2 with standard error")
        << R"({"stderr":"usage: kokoro_helper.py {check,download,serve}\nerror: invalid choice: 'selftest'\n"},{"exit":2})"_ba
        << int(Problem::Failed) << u"Read-aloud does not work: error: invalid choice: 'selftest'"_s;
    QTest::newRow("killed by a signal, its last words")
        << R"({"raw":"{\"type\":\"stage\",\"stage\":\"load\",\"voice\":\"af_heart\"}\n"},{"stderr":"Illegal instruction in libtorch\n"},{"signal":6})"_ba
        << int(Problem::Failed) << u"Read-aloud does not work: Illegal instruction in libtorch"_s;
    QTest::newRow("killed by a signal, silent") << R"({"signal":9})"_ba << int(Problem::Failed)
                                                << u"Read-aloud does not work: Process crashed"_s;
}

void tst_TextToSpeechKokoroSelfTestJob::outcomes()
{
    QFETCH(QByteArray, actions);
    QFETCH(int, problem);
    QFETCH(QString, summary);

    QVERIFY(mEnvironment->setScenario(R"({"modes":{"selftest af_heart":[)" + actions + "]}}"));
    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    QCOMPARE(job->voice(), u"af_heart"_s);
    QVERIFY(job->canStart());
    JobLog log(job);
    job->start();
    QTRY_VERIFY(log.ended());
    const bool works = problem == int(Problem::None);
    QCOMPARE(log.mEntries.constLast(), (works ? "done:"_L1 : "failed:"_L1) + summary);
    QCOMPARE(log.mEntries.filter(QRegularExpression(u"^(done|failed):"_s)).size(), 1);
    QCOMPARE(int(log.mResult.problem), problem);
    QCOMPARE(log.mResult.works, works);
    QCOMPARE(log.mResult.summary, summary);
    QCOMPARE(log.mResult.voice, u"af_heart"_s);
    QTRY_VERIFY(!job);
}

void tst_TextToSpeechKokoroSelfTestJob::figures()
{
    QVERIFY(mEnvironment->setScenario(R"({"modes":{"selftest jf_alpha":[)"
                                      + resultLine(R"("ok":true,"voice":"jf_alpha","device":"cuda","loadSeconds":2.5,"synthesisSeconds":0.5,)"
                                                   R"("audioSeconds":5.0,"realTimeFactor":0.1,"verdict":"smooth")")
                                      + "]}}"));
    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    job->setVoice(u"jf_alpha"_s);
    JobLog log(job);
    job->start();
    QTRY_VERIFY(log.ended());
    const TextToSpeechKokoroSelfTestJob::Result result = log.mResult;
    QVERIFY(result.works);
    QCOMPARE(result.voice, u"jf_alpha"_s);
    QCOMPARE(result.device, u"cuda"_s);
    QCOMPARE(result.loadSeconds, 2.5);
    QCOMPARE(result.synthesisSeconds, 0.5);
    QCOMPARE(result.audioSeconds, 5.0);
    QCOMPARE(result.realTimeFactor, 0.1);
    QCOMPARE(result.verdict, Verdict::Smooth);
    QVERIFY(result.missing.isEmpty());
    QVERIFY(result.error.isEmpty());
}

void tst_TextToSpeechKokoroSelfTestJob::stagesAreProgress()
{
    // Each stage reaches the host while the helper still works: the result waits for a file.
    const QString go = mEnvironment->home() + "/go"_L1;
    QVERIFY(mEnvironment->setScenario(
        R"({"modes":{"selftest bf_emma":[{"raw":"{\"type\":\"stage\",\"stage\":\"load\",\"voice\":\"bf_emma\"}\n"},)"
        R"({"raw":"{\"type\":\"stage\",\"stage\":\"unheard-of\"}\n{\"type\":\"other\"}\n"},{"sleep":300},)"
        R"({"raw":"{\"type\":\"stage\",\"stage\":\"time\"}\n"},{"sleep":300},)"
        + resultLine(R"("ok":true,"voice":"bf_emma","synthesisSeconds":4,"audioSeconds":5,"realTimeFactor":0.8,"verdict":"tight")") + "]}}"));
    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    job->setVoice(u"bf_emma"_s);
    JobLog log(job);
    job->start();
    QTRY_COMPARE(log.mEntries, QStringList{u"message:Loading the voice bf_emma…"_s});
    QTRY_COMPARE(log.mEntries.size(), 2);
    QCOMPARE(log.mEntries.constLast(), u"message:Timing the synthesis of a test sentence with bf_emma…"_s);
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mEntries.size(), 3);
    QCOMPARE(log.mResult.verdict, Verdict::Tight);
}

void tst_TextToSpeechKokoroSelfTestJob::voiceIsPassed()
{
    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    job->setVoice(u"zm_yunxi"_s);
    QCOMPARE(job->voice(), u"zm_yunxi"_s);
    JobLog log(job);
    job->start();
    QTRY_VERIFY(log.ended());
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"selftest zm_yunxi"_s});
}

void tst_TextToSpeechKokoroSelfTestJob::unknownVoiceIsRefused()
{
    for (const QString &voice : {u"xx_nobody"_s, QString(), u"af_heart --debug"_s, u"../af_heart"_s}) {
        QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
        job->setVoice(voice);
        JobLog log(job);
        job->start();
        const QString summary = u"Read-aloud cannot work: there is no voice %1."_s.arg(voice);
        QCOMPARE(log.mEntries, QStringList{"failed:"_L1 + summary});
        QCOMPARE(log.mResult.problem, Problem::BadVoice);
        QTRY_VERIFY(!job);
    }
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_TextToSpeechKokoroSelfTestJob::refusals_data()
{
    QTest::addColumn<bool>("venv");
    QTest::addColumn<bool>("script");
    QTest::addColumn<QString>("summary");
    QTest::newRow("no virtual environment")
        << false << true << u"Read-aloud cannot work yet: python modules are missing (kokoro, torch). Install them first."_s;
    QTest::newRow("no helper script") << true << false << u"Read-aloud does not work: the helper kokoro_helper.py cannot be found"_s;
}

void tst_TextToSpeechKokoroSelfTestJob::refusals()
{
    QFETCH(bool, venv);
    QFETCH(bool, script);
    QFETCH(QString, summary);

    mEnvironment.reset();
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));

    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    QVERIFY(!job->canStart());
    JobLog log(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroSelfTestJob");
    job->start();
    QCOMPARE(log.mEntries, QStringList{"failed:"_L1 + summary});
    QTRY_VERIFY(!job);
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_TextToSpeechKokoroSelfTestJob::interpreterThatCannotStart()
{
    const QString python = mEnvironment->home() + "/.venv/kokoro/bin/python"_L1;
    QVERIFY(QFile::remove(python));
    QVERIFY(FakeHelperEnvironment::writeFile(python, "not a program"));

    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    JobLog log(job);
    job->start();
    QTRY_VERIFY(log.ended());
    QCOMPARE(log.mEntries.size(), 1);
    QVERIFY2(log.mEntries.constFirst().startsWith("failed:Read-aloud does not work: "_L1), qPrintable(log.mEntries.constFirst()));
    QVERIFY2(log.mEntries.constFirst().contains(u"ermission denied"_s), qPrintable(log.mEntries.constFirst()));
    QTRY_VERIFY(!job);
}

void tst_TextToSpeechKokoroSelfTestJob::realHelperWithStandIns()
{
    const QString helper = QStringLiteral(HELPERS_DIR "/kokoro_helper.py");
    if (!FakeHelperEnvironment::readFile(helper).contains("selftest"))
        QSKIP("The kokoro helper has no selftest mode yet");
    QVERIFY(mEnvironment->installScript(helper, u"kokoro_helper.py"_s));
    QTemporaryDir cache;
    qputenv("PYTHONPATH", HELPERS_DIR "/tests/standins");
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("STANDIN_SPACY_INSTALLED", "en_core_web_sm");
    qputenv("HF_HUB_CACHE", QFile::encodeName(cache.path()));
    const auto restore = qScopeGuard([] {
        for (const char *name : {"PYTHONPATH", "PYTHONDONTWRITEBYTECODE", "STANDIN_SPACY_INSTALLED", "HF_HUB_CACHE",
                                 "STANDIN_KOKORO_SAMPLES_PER_CHAR", "STANDIN_KOKORO_CHAR_COST"})
            qunsetenv(name);
    });

    // The model and one voice, fetched by the helper itself from the stand-in hub.
    QProcess download;
    download.start(FakeHelperEnvironment::systemPython(), {helper, u"download"_s, u"--json"_s, u"model"_s, u"af_heart"_s});
    QVERIFY(download.waitForFinished(30000));
    QVERIFY2(download.exitCode() == 0, download.readAllStandardError().constData());

    // 480 samples a character is 0.02 s of speech; 0.008 s of work a character makes the
    // synthesis well under the speech, 0.03 s half as long again as the speech.
    qputenv("STANDIN_KOKORO_SAMPLES_PER_CHAR", "480");
    struct Case {
        QByteArray cost;
        Verdict verdict;
        double lowest;
        double highest;
    };
    for (const Case &expected : {Case{"0.008", Verdict::Smooth, 0.35, 0.69}, Case{"0.03", Verdict::Slow, 1.45, 2.5}}) {
        qputenv("STANDIN_KOKORO_CHAR_COST", expected.cost);
        QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
        JobLog log(job);
        job->start();
        QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 60000);
        const TextToSpeechKokoroSelfTestJob::Result result = log.mResult;
        QVERIFY2(result.works, qPrintable(result.summary));
        QCOMPARE(log.mEntries.mid(0, 2),
                 QStringList({u"message:Loading the voice af_heart…"_s, u"message:Timing the synthesis of a test sentence with af_heart…"_s}));
        QCOMPARE(result.device, u"cpu"_s);
        QVERIFY2(result.realTimeFactor >= expected.lowest && result.realTimeFactor <= expected.highest, qPrintable(result.summary));
        QCOMPARE(result.verdict, expected.verdict);
        QVERIFY2(result.audioSeconds > 0.5, qPrintable(result.summary));
        QVERIFY(qAbs(result.synthesisSeconds / result.audioSeconds - result.realTimeFactor) < 0.02);
        QVERIFY2(result.summary.startsWith("Read-aloud works: af_heart on CPU, "_L1), qPrintable(result.summary));
    }

    // Offline, a voice that is not in the cache: the test says to download it.
    QPointer<TextToSpeechKokoroSelfTestJob> job = new TextToSpeechKokoroSelfTestJob;
    job->setVoice(u"bf_emma"_s);
    JobLog log(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(log.ended(), 60000);
    QCOMPARE(log.mResult.problem, Problem::NotDownloaded);
    QCOMPARE(log.mEntries.constLast(), u"failed:Read-aloud cannot work yet: the voice bf_emma is not downloaded. Download it first."_s);
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroSelfTestJob)
#include "tst_texttospeechkokoroselftestjob.moc"
