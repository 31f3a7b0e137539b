#include "fakehelperenvironment.h"

#include <whisperspeechtotextselftestjob.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

class tst_WhisperSpeechToTextSelfTestJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void stagesAreProgress();
    void crashNamesItsLastWords();
    void cannotStart_data();
    void cannotStart();
    void arguments_data();
    void arguments();
    void realHelperFallsBackFromABrokenGpu();

private:
    // Runs a job with the fake helper answering the "selftest" mode with these actions, and
    // waits for its final signal.
    void runJob(const QByteArray &actions, WhisperSpeechToTextSelfTestJob *job);
    // Collects the job's messages and summaries.
    void watch(WhisperSpeechToTextSelfTestJob *job);

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QStringList mMessages;
    QStringList mDone;
    QStringList mFailed;
};

namespace
{
// One fake helper action writing the line as it is, line feed included.
QByteArray raw(const QByteArray &text)
{
    return QJsonDocument(QJsonObject{{u"raw"_s, QString::fromUtf8(text)}}).toJson(QJsonDocument::Compact);
}

QByteArray stderrLine(const QByteArray &text)
{
    return QJsonDocument(QJsonObject{{u"stderr"_s, QString::fromUtf8(text)}}).toJson(QJsonDocument::Compact);
}

QByteArray selfTestScenario(const QByteArray &actions, const QByteArray &mode = "selftest")
{
    return R"({"modes":{")" + mode + R"(":[)" + actions + "]}}";
}

const QByteArray worksLive =
    R"({"type":"result","ok":true,"model":"small","device":"cpu","computeType":"int8","passSeconds":0.42,"loadSeconds":1.9,"verdict":"live"})";
} // namespace

void tst_WhisperSpeechToTextSelfTestJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    mMessages.clear();
    mDone.clear();
    mFailed.clear();
}

void tst_WhisperSpeechToTextSelfTestJob::cleanup()
{
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextSelfTestJob::runJob(const QByteArray &actions, WhisperSpeechToTextSelfTestJob *job)
{
    QVERIFY(mEnvironment->setScenario(selfTestScenario(actions)));
    QPointer<WhisperSpeechToTextSelfTestJob> guard(job);
    watch(job);
    job->start();
    QTRY_COMPARE(mDone.size() + mFailed.size(), 1);
    // One answer, then the job goes.
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(mDone.size() + mFailed.size(), 1);
}

void tst_WhisperSpeechToTextSelfTestJob::watch(WhisperSpeechToTextSelfTestJob *job)
{
    connect(job, &WhisperSpeechToTextSelfTestJob::testMessage, this, [this](const QString &message) {
        mMessages.append(message);
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [this](const QString &summary) {
        mDone.append(summary);
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testFailed, this, [this](const QString &summary) {
        mFailed.append(summary);
    });
}

void tst_WhisperSpeechToTextSelfTestJob::answers_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<bool>("works");
    QTest::addColumn<QString>("summary");

    QTest::newRow("works live on the CPU") << raw(worksLive + '\n') << true
                                           << u"Dictation works: small on CPU (int8), 0.42 s per pass: fast enough for live partials."_s;
    QTest::newRow("final text only on the GPU")
        << raw(R"({"type":"result","ok":true,"model":"medium","device":"cuda","computeType":"float16","passSeconds":2.5,"verdict":"final"})"
               "\n")
        << true << u"Dictation works: medium on GPU (float16), 2.50 s per pass: fast enough for the final text only."_s;
    QTest::newRow("too slow on another device")
        << raw(R"({"type":"result","ok":true,"model":"large-v3","device":"rocm","computeType":"int8","passSeconds":7,"verdict":"slow"})"
               "\n")
        << true << u"Dictation works: large-v3 on rocm (int8), 7.00 s per pass: too slow, try a smaller model."_s;
    QTest::newRow("result without its line feed, after noise")
        << raw("Loading...\n{\"type\":\"progress\"}\n[1,2]\n" + worksLive) << true
        << u"Dictation works: small on CPU (int8), 0.42 s per pass: fast enough for live partials."_s;
    QTest::newRow("the first result counts") << raw(worksLive
                                                    + "\n{\"type\":\"result\",\"ok\":false,\"problem\":\"failed\",\"error\":\"late\"}\n")
                                             << true
                                             << u"Dictation works: small on CPU (int8), 0.42 s per pass: fast enough for live partials."_s;

    QTest::newRow("model not downloaded")
        << raw(R"({"type":"result","ok":false,"model":"medium","problem":"notDownloaded","error":"The whisper model medium is not downloaded."})"
               "\n")
            + ',' + R"({"exit":1})"
        << false << u"Dictation cannot work yet: the medium model is not downloaded. Download the medium model first."_s;
    QTest::newRow("modules missing")
        << raw(R"({"type":"result","ok":false,"model":"small","problem":"notInstalled","missing":["faster-whisper"],"error":"x"})"
               "\n")
            + ',' + R"({"exit":1})"
        << false << u"Dictation cannot work yet: python modules are missing (faster-whisper). Install them first."_s;
    QTest::newRow("modules missing, none named")
        << raw(R"({"type":"result","ok":false,"problem":"notInstalled","missing":[3,"",null]})"
               "\n")
            + ',' + R"({"exit":1})"
        << false << u"Dictation cannot work yet: python modules are missing (faster-whisper, numpy). Install them first."_s;
    QTest::newRow("failed with the helper's error")
        << raw(R"({"type":"result","ok":false,"model":"small","problem":"failed","error":"Unable to open file 'model.bin'"})"
               "\n")
            + ',' + stderrLine("an earlier complaint\n") + ',' + R"({"exit":1})"
        << false << u"Dictation does not work: Unable to open file 'model.bin'"_s;
    QTest::newRow("failed, error on standard error only") << raw(R"({"type":"result","ok":false,"problem":"failed"})"
                                                                 "\n")
            + ',' + stderrLine("first\nValueError: bad compute type\n  \n") + ','
            + R"({"exit":1})" << false << u"Dictation does not work: ValueError: bad compute type"_s;
    QTest::newRow("failed without any words") << raw(R"({"type":"result","ok":false,"problem":"failed"})"
                                                     "\n")
            + ',' + R"({"exit":1})" << false << u"Dictation does not work: the test stopped with exit code 1"_s;
    QTest::newRow("a problem this host does not know")
        << raw(R"({"type":"result","ok":false,"problem":"overheated","error":"the fan stopped"})"
               "\n")
            + ',' + R"({"exit":1})"
        << false << u"Dictation does not work: the fan stopped"_s;
    QTest::newRow("works without a verdict") << raw(
        R"({"type":"result","ok":true,"model":"small","device":"cpu","computeType":"int8","passSeconds":0.4})"
        "\n") << false << u"Dictation does not work: the test gave an answer that cannot be read"_s;
    QTest::newRow("works, then exits with an error") << raw(worksLive + '\n') + ',' + stderrLine("Segmentation fault in teardown\n") + ','
            + R"({"exit":1})" << false << u"Dictation does not work: Segmentation fault in teardown"_s;
    QTest::newRow("no result line, exit 0") << raw(R"({"type":"stage","stage":"load","model":"small"})"
                                                   "\n")
                                            << false << u"Dictation does not work: the test stopped with exit code 0"_s;
    QTest::newRow("no result line, a traceback")
        << stderrLine("Traceback (most recent call last):\n  File \"x\", line 1\nImportError: No module named 'numpy'\n\n") + ','
            + R"({"exit":1})"
        << false << u"Dictation does not work: ImportError: No module named 'numpy'"_s;
    QTest::newRow("garbage and an exit code") << raw("Segmentation\x01 {not json\n") + ',' + R"({"exit":3})" << false
                                              << u"Dictation does not work: the test stopped with exit code 3"_s;
}

void tst_WhisperSpeechToTextSelfTestJob::answers()
{
    QFETCH(QByteArray, actions);
    QFETCH(bool, works);
    QFETCH(QString, summary);

    auto job = new WhisperSpeechToTextSelfTestJob;
    WhisperSpeechToTextSelfTestJob::Result result;
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [&result, job] {
        result = job->result();
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testFailed, this, [&result, job] {
        result = job->result();
    });
    runJob(actions, job);
    QCOMPARE(mDone, works ? QStringList{summary} : QStringList());
    QCOMPARE(mFailed, works ? QStringList() : QStringList{summary});
    QCOMPARE(result.works, works);
    QCOMPARE(result.summary, summary);
    QCOMPARE(result.problem == WhisperSpeechToTextSelfTestJob::Problem::None, works);
}

void tst_WhisperSpeechToTextSelfTestJob::stagesAreProgress()
{
    const QByteArray actions = raw(R"({"type":"stage","stage":"load","model":"small","device":"cuda","computeType":"float16"})"
                                   "\n")
        + ",{\"sleep\":400},"
        + raw(R"({"type":"stage","stage":"fallback","device":"cpu","computeType":"int8","reason":"the trial run was killed by SIGABRT:)"
              R"( Could not load library libcudnn_ops.so.9"})"
              "\n"
              R"({"type":"stage","stage":"time","device":"cpu","computeType":"int8"})"
              "\n"
              R"({"type":"result","ok":true,"model":"small","device":"cpu","computeType":"int8","passSeconds":1.234,"loadSeconds":2,)"
              R"("verdict":"live","requestedDevice":"cuda","requestedComputeType":"float16","fallbackReason":"the trial run was killed)"
              R"( by SIGABRT: Could not load library libcudnn_ops.so.9"})"
              "\n");
    auto job = new WhisperSpeechToTextSelfTestJob;
    job->setModel(u"small"_s);
    WhisperSpeechToTextSelfTestJob::Result result;
    bool endedBeforeFirstMessage = true;
    connect(job, &WhisperSpeechToTextSelfTestJob::testMessage, this, [this, &endedBeforeFirstMessage] {
        if (mMessages.isEmpty())
            endedBeforeFirstMessage = !mDone.isEmpty() || !mFailed.isEmpty();
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [&result, job] {
        result = job->result();
    });
    runJob(actions, job);
    // The first stage reached the host while the helper was still at work.
    QVERIFY(!endedBeforeFirstMessage);
    QCOMPARE(mMessages,
             QStringList({u"Loading the small model…"_s,
                          u"The small model cannot run on GPU with float16 (the trial run was killed by SIGABRT: Could not load library "
                          "libcudnn_ops.so.9): dictation uses the CPU with int8 instead."_s,
                          u"Timing one pass over 30 s of audio on the CPU (int8)…"_s}));
    QVERIFY2(mFailed.isEmpty(), qPrintable(mFailed.value(0)));
    QCOMPARE(mDone, QStringList{u"Dictation works: small on CPU (int8), 1.23 s per pass: fast enough for live partials."_s});
    QCOMPARE(result.verdict, WhisperSpeechToTextSelfTestJob::Verdict::LivePartials);
    QCOMPARE(result.passSeconds, 1.234);
    QCOMPARE(result.loadSeconds, 2.0);
    QCOMPARE(result.requestedDevice, u"cuda"_s);
    QCOMPARE(result.requestedComputeType, u"float16"_s);
    QCOMPARE(result.fallbackReason, u"the trial run was killed by SIGABRT: Could not load library libcudnn_ops.so.9"_s);
}

void tst_WhisperSpeechToTextSelfTestJob::crashNamesItsLastWords()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^whisper self-test stopped:"_s));
    auto job = new WhisperSpeechToTextSelfTestJob;
    runJob(raw(R"({"type":"stage","stage":"load","model":"small","device":"cpu","computeType":"int8"})"
               "\n")
               + ',' + stderrLine("Could not load library libcudnn_ops.so.9\n") + R"(,{"signal":6})",
           job);
    QCOMPARE(mMessages, QStringList{u"Loading the small model…"_s});
    QCOMPARE(mFailed, QStringList{u"Dictation does not work: Could not load library libcudnn_ops.so.9"_s});
}

void tst_WhisperSpeechToTextSelfTestJob::cannotStart_data()
{
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QString>("summary");
    const QString missing = u"Dictation does not work: its python environment or its helper script is missing. Install it first."_s;
    QTest::newRow("no helper script") << u"bin/whisper_helper.py"_s << false << missing;
    QTest::newRow("no environment") << u".venv/whisper/bin/python"_s << false << missing;
    QTest::newRow("interpreter cannot run") << QString() << true << QString();
}

void tst_WhisperSpeechToTextSelfTestJob::cannotStart()
{
    QFETCH(QString, removed);
    QFETCH(bool, started);
    QFETCH(QString, summary);

    if (started) {
        // An interpreter whose own interpreter is gone: the process cannot start.
        const QString python = mEnvironment->home() + "/.venv/whisper/bin/python"_L1;
        QVERIFY(QFile::remove(python));
        QVERIFY(FakeHelperEnvironment::writeFile(python, "#!/nonexistent/python\n"));
        QVERIFY(QFile::setPermissions(python, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^whisper self-test stopped:"_s));
    } else {
        const QString path =
            removed.startsWith("bin/"_L1) ? mEnvironment->binDir() + removed.mid(3) : mEnvironment->home() + u'/' + removed;
        QVERIFY(QFile::remove(path));
        QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextSelfTestJob");
    }
    auto job = new WhisperSpeechToTextSelfTestJob;
    QCOMPARE(job->canStart(), started);
    runJob(raw(worksLive + '\n'), job);
    QCOMPARE(mDone, QStringList());
    QCOMPARE(mFailed.size(), 1);
    if (started)
        QVERIFY2(mFailed.constFirst().startsWith("Dictation does not work: "_L1) && mFailed.constFirst().size() > 26,
                 qPrintable(mFailed.constFirst()));
    else
        QCOMPARE(mFailed.constFirst(), summary);
    QVERIFY(mEnvironment->startArguments().isEmpty());
}

void tst_WhisperSpeechToTextSelfTestJob::arguments_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("set");
    QTest::addColumn<QString>("line");
    // model, device, compute type, language; "-" leaves a setter alone.
    QTest::newRow("nothing stored") << QStringList{{}, {}, {}, {}} << QStringList{u"-"_s, u"-"_s, u"-"_s, u"-"_s} << u"selftest"_s;
    QTest::newRow("stored settings") << QStringList{u"small"_s, u"cuda"_s, u"float16"_s, u"de"_s}
                                     << QStringList{u"-"_s, u"-"_s, u"-"_s, u"-"_s}
                                     << u"selftest --model small --device cuda --compute-type float16 --language de"_s;
    QTest::newRow("automatic language left out") << QStringList{u"tiny"_s, u"auto"_s, {}, {}} << QStringList{u"-"_s, u"-"_s, u"-"_s, u"-"_s}
                                                 << u"selftest --model tiny --device auto"_s;
    QTest::newRow("set ones win, empty ones are left out")
        << QStringList{u"small"_s, u"cuda"_s, u"float16"_s, u"de"_s} << QStringList{u"large-v3"_s, {}, u"int8"_s, u"-"_s}
        << u"selftest --model large-v3 --compute-type int8 --language de"_s;
}

void tst_WhisperSpeechToTextSelfTestJob::arguments()
{
    QFETCH(QStringList, stored);
    QFETCH(QStringList, set);
    QFETCH(QString, line);

    WhisperSpeechToTextUtils::saveModel(stored.at(0));
    WhisperSpeechToTextUtils::saveDevice(stored.at(1));
    WhisperSpeechToTextUtils::saveComputeType(stored.at(2));
    WhisperSpeechToTextUtils::saveLanguage(stored.at(3));
    auto job = new WhisperSpeechToTextSelfTestJob;
    QCOMPARE(job->model(), stored.at(0));
    QCOMPARE(job->device(), stored.at(1));
    if (set.at(0) != "-"_L1)
        job->setModel(set.at(0));
    if (set.at(1) != "-"_L1)
        job->setDevice(set.at(1));
    if (set.at(2) != "-"_L1)
        job->setComputeType(set.at(2));
    if (set.at(3) != "-"_L1)
        job->setLanguage(set.at(3));
    runJob(raw(worksLive + '\n'), job);
    QCOMPARE(mDone.size(), 1);
    QCOMPARE(mEnvironment->startArguments(), QStringList{line});
}

void tst_WhisperSpeechToTextSelfTestJob::realHelperFallsBackFromABrokenGpu()
{
    const QString helper = QStringLiteral(HELPERS_DIR "/whisper_helper.py");
    if (!FakeHelperEnvironment::readFile(helper).contains("\"selftest\""))
        QSKIP("The helper has no selftest mode yet");

    // The stand-ins' GPU constructs the model and aborts the process at its first encode, as one
    // without cuDNN does; the small model is in the cache, so nothing is fetched.
    QTemporaryDir cache;
    const QString repo = cache.path() + "/models--Systran--faster-whisper-small"_L1;
    const QString commit = u"c0ffeec0ffeec0ffeec0ffeec0ffeec0ffeec0ff"_s;
    QVERIFY(QDir().mkpath(repo + "/refs"_L1));
    QVERIFY(QDir().mkpath(repo + "/snapshots/"_L1 + commit));
    QVERIFY(FakeHelperEnvironment::writeFile(repo + "/refs/main"_L1, commit.toUtf8()));
    for (const char *name : {"config.json", "model.bin", "tokenizer.json", "vocabulary.txt"})
        QVERIFY(FakeHelperEnvironment::writeFile(repo + "/snapshots/"_L1 + commit + u'/' + QLatin1StringView(name), "{}"));
    QVERIFY(QFile::remove(mEnvironment->binDir() + "/whisper_helper.py"_L1));
    QVERIFY(mEnvironment->installScript(helper, u"whisper_helper.py"_s));
    qputenv("PYTHONPATH", HELPERS_DIR "/tests/standins");
    qputenv("PYTHONDONTWRITEBYTECODE", "1");
    qputenv("STANDIN_WHISPER_GPU", "broken");
    qputenv("HF_HUB_CACHE", QFile::encodeName(cache.path()));
    const auto restore = qScopeGuard([] {
        for (const char *name : {"PYTHONPATH", "PYTHONDONTWRITEBYTECODE", "STANDIN_WHISPER_GPU", "HF_HUB_CACHE"})
            qunsetenv(name);
    });

    auto job = new WhisperSpeechToTextSelfTestJob;
    job->setModel(u"small"_s);
    job->setDevice(u"cuda"_s);
    job->setComputeType(u"float16"_s);
    job->setLanguage({});
    WhisperSpeechToTextSelfTestJob::Result result;
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [&result, job] {
        result = job->result();
    });
    watch(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!mDone.isEmpty() || !mFailed.isEmpty(), 30000);
    QVERIFY2(mFailed.isEmpty(), qPrintable(mFailed.value(0)));

    QVERIFY2(mDone.constFirst().startsWith("Dictation works: small on CPU (int8), "_L1), qPrintable(mDone.constFirst()));
    QCOMPARE(result.device, u"cpu"_s);
    QCOMPARE(result.computeType, u"int8"_s);
    QCOMPARE(result.requestedDevice, u"cuda"_s);
    QVERIFY2(result.fallbackReason.contains("SIGABRT"_L1), qPrintable(result.fallbackReason));
    const QStringList fallback = mMessages.filter(u"cannot run on"_s);
    QCOMPARE(fallback.size(), 1);
    QVERIFY2(fallback.constFirst().startsWith("The small model cannot run on GPU with float16 ("_L1)
                 && fallback.constFirst().endsWith("): dictation uses the CPU with int8 instead."_L1),
             qPrintable(fallback.constFirst()));
    QCOMPARE(mMessages.constFirst(), u"Loading the small model…"_s);
    QCOMPARE(mMessages.constLast(), u"Timing one pass over 30 s of audio on the CPU (int8)…"_s);
}

QTEST_MAIN(tst_WhisperSpeechToTextSelfTestJob)
#include "tst_whisperspeechtotextselftestjob.moc"
