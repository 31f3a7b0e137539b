#include "fakehelperenvironment.h"

#include <whisperspeechtotextcheckjob.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <optional>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;

using CheckResult = WhisperSpeechToTextCheckJob::CheckResult;

namespace
{
constexpr int JobTimeoutMs = 10000;

// The scenario of a fake helper whose "check" mode runs these actions.
QByteArray checkScenario(const QByteArray &actions)
{
    return R"({"modes":{"check":)" + actions + "}}";
}

// A "raw" action writing the text as it is, escaped for the scenario's JSON.
QByteArray rawAction(const QByteArray &text)
{
    QByteArray escaped = text;
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return R"({"raw":")" + escaped + R"("})";
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

// An interpreter path that exists but cannot be executed.
bool createBrokenVenvPython()
{
    const QString python = WhisperSpeechToTextUtils::defaultVenvPython();
    if (!QDir().mkpath(WhisperSpeechToTextUtils::defaultVenvPath() + "/bin"_L1))
        return false;
    QFile file(python);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

// Watches the three final signals of one job, and whether the job is still alive.
class CheckJobWatcher
{
public:
    explicit CheckJobWatcher(WhisperSpeechToTextCheckJob *job)
        : job(job)
        , reinstall(job, &WhisperSpeechToTextCheckJob::needToReinstall)
        , installed(job, &WhisperSpeechToTextCheckJob::packagesInstalled)
        , install(job, &WhisperSpeechToTextCheckJob::needToInstallPackages)
    {
    }

    [[nodiscard]] qsizetype total() const
    {
        return reinstall.count() + installed.count() + install.count();
    }

    // "reinstall", "installed", "install" or "none", when exactly one signal came.
    [[nodiscard]] QString outcome() const
    {
        if (total() != 1)
            return u"signals: %1"_s.arg(total());
        if (reinstall.count())
            return u"reinstall"_s;
        return installed.count() ? u"installed"_s : u"install"_s;
    }

    QPointer<WhisperSpeechToTextCheckJob> job;
    QSignalSpy reinstall;
    QSignalSpy installed;
    QSignalSpy install;
};

QString expectedOutcome(const CheckResult &result)
{
    if (result.needReinstall)
        return u"reinstall"_s;
    return result.missing.isEmpty() ? u"installed"_s : u"install"_s;
}
} // namespace

class tst_WhisperSpeechToTextCheckJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void metaTypeRegistered();

    void parseCheckResult_data();
    void parseCheckResult();
    void errorString_data();
    void errorString();

    void helperAnswer_data();
    void helperAnswer();
    void resultTravelsThroughQueuedConnection();

    void missingScript_data();
    void missingScript();
    void missingVenvStartsNothing();
    void interpreterCannotStart();
    void silentHelperTimesOut();

    void realHelperWithoutFasterWhisper();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextCheckJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    // A warning a test does not expect is a fault; expected ones are named with ignoreMessage.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
}

void tst_WhisperSpeechToTextCheckJob::cleanup()
{
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextCheckJob::metaTypeRegistered()
{
    // First of all tests, so that nothing in this test program has registered the type before.
    const QMetaType type = QMetaType::fromName("WhisperSpeechToTextCheckJob::CheckResult");
    QVERIFY(type.isValid());
    QCOMPARE(type, QMetaType::fromType<CheckResult>());
}

void tst_WhisperSpeechToTextCheckJob::parseCheckResult_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<QString>("python");
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("needReinstall");

    const QString noPython;
    QTest::newRow("empty output") << QByteArray() << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("not JSON") << "Traceback (most recent call last):\n"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("null") << "null"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("array") << R"([{"available": true}])"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("empty object") << "{}"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("truncated object") << R"({"available": true, "python": "3.1)"_ba << QStringList() << noPython << 0 << 0 << true;

    QTest::newRow("available only") << R"({"available": true})"_ba << QStringList() << noPython << 0 << 0 << false;
    QTest::newRow("complete answer") << R"({"python": "3.11.2", "sampleRate": 16000, "channels": 1, "available": true, "missing": []})"_ba
                                     << QStringList() << u"3.11.2"_s << 16000 << 1 << false;
    QTest::newRow("missing ignored when available")
        << R"({"missing": ["numpy"], "available": true})"_ba << QStringList() << noPython << 0 << 0 << false;
    QTest::newRow("python not a string") << R"({"python": 3, "available": true})"_ba << QStringList() << noPython << 0 << 0 << false;

    QTest::newRow("available false, no missing") << R"({"available": false})"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("available false, missing empty")
        << R"({"available": false, "missing": []})"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("missing not an array") << R"({"available": false, "missing": "numpy"})"_ba << QStringList() << noPython << 0 << 0
                                          << true;
    QTest::newRow("only unusable entries") << R"({"available": false, "missing": ["", 3, null, {}, ["numpy"], true]})"_ba << QStringList()
                                           << noPython << 0 << 0 << true;
    QTest::newRow("numbers and empty strings skipped")
        << R"({"available": false, "missing": ["numpy", "", 3]})"_ba << QStringList{u"numpy"_s} << noPython << 0 << 0 << false;
    // A blank name would reach pip as a module and fail the whole installation.
    QTest::newRow("blank names skipped, names trimmed")
        << R"({"available": false, "missing": [" ", "\t\n", " numpy\n"]})"_ba << QStringList{u"numpy"_s} << noPython << 0 << 0 << false;
    QTest::newRow("only blank names") << R"({"available": false, "missing": ["  "]})"_ba << QStringList() << noPython << 0 << 0 << true;
    QTest::newRow("helper order kept, fields read") << R"({"python": "3.9.1", "sampleRate": 8000, "channels": 2, "available": false,
                                                          "missing": ["numpy", "faster-whisper"]})"_ba
                                                    << QStringList{u"numpy"_s, u"faster-whisper"_s} << u"3.9.1"_s << 8000 << 2 << false;
    QTest::newRow("available absent") << R"({"missing": ["faster-whisper"]})"_ba << QStringList{u"faster-whisper"_s} << noPython << 0 << 0
                                      << false;
    QTest::newRow("available as a string is not true")
        << R"({"available": "true", "missing": ["numpy"]})"_ba << QStringList{u"numpy"_s} << noPython << 0 << 0 << false;
    QTest::newRow("available as a number is not true") << R"({"available": 1})"_ba << QStringList() << noPython << 0 << 0 << true;
}

void tst_WhisperSpeechToTextCheckJob::parseCheckResult()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, missing);
    QFETCH(QString, python);
    QFETCH(int, sampleRate);
    QFETCH(int, channels);
    QFETCH(bool, needReinstall);

    const CheckResult result = WhisperSpeechToTextCheckJob::parseCheckResult(output);
    QCOMPARE(result.missing, missing);
    QCOMPARE(result.python, python);
    QCOMPARE(result.sampleRate, sampleRate);
    QCOMPARE(result.channels, channels);
    QCOMPARE(result.needReinstall, needReinstall);
    QCOMPARE(result.isValid(), !needReinstall && missing.isEmpty());
}

void tst_WhisperSpeechToTextCheckJob::errorString_data()
{
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<bool>("needReinstall");
    QTest::addColumn<QString>("text");

    QTest::newRow("valid") << QStringList() << false << QString();
    QTest::newRow("reinstall") << QStringList() << true << u"Whisper is not usable. Please reinstall it."_s;
    QTest::newRow("reinstall wins over missing") << QStringList{u"numpy"_s} << true << u"Whisper is not usable. Please reinstall it."_s;
    QTest::newRow("one missing") << QStringList{u"numpy"_s} << false << u"Whisper is not installed. Missing: numpy"_s;
    QTest::newRow("two missing") << QStringList{u"faster-whisper"_s, u"numpy"_s} << false
                                 << u"Whisper is not installed. Missing: faster-whisper, numpy"_s;
    // A name is substituted once; a placeholder inside it stays as it is.
    QTest::newRow("placeholder in a name") << QStringList{u"%1"_s, u"numpy"_s} << false
                                           << u"Whisper is not installed. Missing: %1, numpy"_s;
}

void tst_WhisperSpeechToTextCheckJob::errorString()
{
    QFETCH(QStringList, missing);
    QFETCH(bool, needReinstall);
    QFETCH(QString, text);

    CheckResult result;
    result.missing = missing;
    result.needReinstall = needReinstall;
    QCOMPARE(result.errorString(), text);
}

void tst_WhisperSpeechToTextCheckJob::helperAnswer_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<QString>("python");
    QTest::addColumn<bool>("needReinstall");

    QTest::newRow("complete") << "[" + rawAction(R"({"python": "3.11.2", "sampleRate": 16000, "channels": 1, "available": true})") + "]"
                              << QStringList() << u"3.11.2"_s << false;
    QTest::newRow("modules missing") << "[" + rawAction(R"({"available": false, "missing": ["numpy", "", 3]})") + "]"
                                     << QStringList{u"numpy"_s} << QString() << false;
    QTest::newRow("nothing usable missing") << "[" + rawAction(R"({"available": false, "missing": []})") + "]" << QStringList() << QString()
                                            << true;
    QTest::newRow("no output") << "[]"_ba << QStringList() << QString() << true;
    QTest::newRow("null") << "[" + rawAction("null") + "]" << QStringList() << QString() << true;
    // The answer counts, not the exit code.
    QTest::newRow("complete, exit 1") << "[" + rawAction(R"({"python": "3.11.2", "available": true})") + R"(,{"exit": 1}])" << QStringList()
                                      << u"3.11.2"_s << false;
    QTest::newRow("missing, exit 1") << "[" + rawAction(R"({"available": false, "missing": ["faster-whisper"]})") + R"(,{"exit": 1}])"
                                     << QStringList{u"faster-whisper"_s} << QString() << false;
    QTest::newRow("no output, exit 1") << R"([{"exit": 1}])"_ba << QStringList() << QString() << true;
    QTest::newRow("chatter on stderr") << "[" + rawAction(R"({"available": true})") + R"(,{"stderr": "{\"available\": false}"}])"
                                       << QStringList() << QString() << false;
    QTest::newRow("answer in pieces") << R"([{"raw": "{\"available\": "}, {"sleep": 200}, {"raw": "true}"}])"_ba << QStringList()
                                      << QString() << false;
}

// The asynchronous job and the blocking form must come to the same verdict.
void tst_WhisperSpeechToTextCheckJob::helperAnswer()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, missing);
    QFETCH(QString, python);
    QFETCH(bool, needReinstall);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(checkScenario(actions)));

    CheckResult expected;
    expected.missing = missing;
    expected.needReinstall = needReinstall;

    auto job = new WhisperSpeechToTextCheckJob;
    QVERIFY(job->canStart());
    CheckJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), expectedOutcome(expected));
    if (watcher.install.count())
        QCOMPARE(watcher.install.constFirst().constFirst().toStringList(), missing);
    if (watcher.installed.count()) {
        const auto result = watcher.installed.constFirst().constFirst().value<CheckResult>();
        QCOMPARE(result.python, python);
        QVERIFY(result.isValid());
    }
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"check"_s});

    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, missing);
    QCOMPARE(result.needReinstall, needReinstall);
    QCOMPARE(result.python, python);
    QCOMPARE(mEnvironment->startArguments(), (QStringList{u"check"_s, u"check"_s}));
}

void tst_WhisperSpeechToTextCheckJob::resultTravelsThroughQueuedConnection()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(
        checkScenario("[" + rawAction(R"({"python": "3.11.2", "sampleRate": 16000, "channels": 1, "available": true})") + "]")));

    std::optional<CheckResult> received;
    auto job = new WhisperSpeechToTextCheckJob;
    connect(
        job, &WhisperSpeechToTextCheckJob::packagesInstalled, this,
        [&received](const CheckResult &result) {
            received = result;
        },
        Qt::QueuedConnection);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(received.has_value(), JobTimeoutMs);
    QCOMPARE(received->python, u"3.11.2"_s);
    QCOMPARE(received->sampleRate, 16000);
    QCOMPARE(received->channels, 1);
}

void tst_WhisperSpeechToTextCheckJob::missingScript_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("absent") << false;
    QTest::newRow("not executable") << true;
}

void tst_WhisperSpeechToTextCheckJob::missingScript()
{
    QFETCH(bool, present);
    if (present)
        QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), u"whisper_helper.py"_s, false));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));

    auto job = new WhisperSpeechToTextCheckJob;
    QVERIFY(!job->canStart());
    CheckJobWatcher watcher(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCheckJob");
    job->start();
    // Refusals come from within start(), before any event loop runs.
    QCOMPARE(watcher.outcome(), u"reinstall"_s);
    QTRY_VERIFY(!watcher.job);
    QCOMPARE(watcher.total(), 1);

    QTest::ignoreMessage(QtWarningMsg, R"(Unable to find "whisper_helper.py")");
    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(JobTimeoutMs);
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextCheckJob::missingVenvStartsNothing()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));

    auto job = new WhisperSpeechToTextCheckJob;
    QVERIFY(job->canStart());
    CheckJobWatcher watcher(job);
    job->start();
    QCOMPARE(watcher.outcome(), u"install"_s);
    QCOMPARE(watcher.install.constFirst().constFirst().toStringList(), WhisperSpeechToTextUtils::requiredModules());
    QTRY_VERIFY(!watcher.job);
    QCOMPARE(watcher.total(), 1);

    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, WhisperSpeechToTextUtils::requiredModules());
    QVERIFY(!result.needReinstall);
    QCOMPARE(result.errorString(), u"Whisper is not installed. Missing: faster-whisper, numpy"_s);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextCheckJob::interpreterCannotStart()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(createBrokenVenvPython());
    QCOMPARE(WhisperSpeechToTextUtils::venvPython(), WhisperSpeechToTextUtils::defaultVenvPython());

    auto job = new WhisperSpeechToTextCheckJob;
    CheckJobWatcher watcher(job);
    const QString program = QRegularExpression::escape(WhisperSpeechToTextUtils::defaultVenvPython());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^Unable to start "%1" ".+"$)"_s.arg(program)));
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), u"reinstall"_s);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^whisper check did not answer: ".+"$)"_s));
    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(JobTimeoutMs);
    QVERIFY(result.needReinstall);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextCheckJob::silentHelperTimesOut()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(checkScenario(R"([{"stall": true}])")));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^whisper check did not answer: ".+"$)"_s));
    QElapsedTimer timer;
    timer.start();
    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(500);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());

    // The helper that never answered must not be left running.
    const QList<qint64> pids = mEnvironment->pids();
    QCOMPARE(pids.size(), 1);
    QTRY_VERIFY(!processAlive(pids.constFirst()));
}

void tst_WhisperSpeechToTextCheckJob::realHelperWithoutFasterWhisper()
{
    QVERIFY(mEnvironment->installScript(QStringLiteral(TESTS_SOURCE_DIR "/../helpers/whisper_helper.py"), u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));

    auto job = new WhisperSpeechToTextCheckJob;
    CheckJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), u"install"_s);
    QCOMPARE(watcher.install.constFirst().constFirst().toStringList(), QStringList{u"faster-whisper"_s});

    const CheckResult result = WhisperSpeechToTextCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, QStringList{u"faster-whisper"_s});
    QVERIFY(!result.needReinstall);
    QCOMPARE(result.sampleRate, 16000);
    QCOMPARE(result.channels, 1);
    QVERIFY2(QRegularExpression(uR"(^3\.\d+\.\d+$)"_s).match(result.python).hasMatch(), qPrintable(result.python));
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextCheckJob)
#include "tst_whisperspeechtotextcheckjob.moc"
