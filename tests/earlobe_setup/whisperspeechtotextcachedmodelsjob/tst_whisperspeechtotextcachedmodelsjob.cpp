#include "fakehelperenvironment.h"

#include <whisperspeechtotextcachedmodelsjob.h>
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
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int JobTimeoutMs = 10000;

QByteArray downloadScenario(const QByteArray &actions)
{
    return R"({"modes":{"download":[)" + actions + "]}}";
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

// Watches the two final signals of one job, and whether the job is still alive.
class CachedModelsJobWatcher
{
public:
    explicit CachedModelsJobWatcher(WhisperSpeechToTextCachedModelsJob *job)
        : job(job)
        , loaded(job, &WhisperSpeechToTextCachedModelsJob::cachedModelsLoaded)
        , failed(job, &WhisperSpeechToTextCachedModelsJob::cachedModelsFailed)
    {
    }

    [[nodiscard]] qsizetype total() const
    {
        return loaded.count() + failed.count();
    }

    [[nodiscard]] QStringList models() const
    {
        return loaded.isEmpty() ? QStringList() : loaded.constFirst().constFirst().toStringList();
    }

    QPointer<WhisperSpeechToTextCachedModelsJob> job;
    QSignalSpy loaded;
    QSignalSpy failed;
};
} // namespace

class tst_WhisperSpeechToTextCachedModelsJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void parseCachedModels_data();
    void parseCachedModels();

    void listing_data();
    void listing();
    void refusals_data();
    void refusals();
    void interpreterCannotStart();
    void destructionKillsHelper();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextCachedModelsJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    // A warning a test does not expect is a fault; expected ones are named with ignoreMessage.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
}

void tst_WhisperSpeechToTextCachedModelsJob::cleanup()
{
    mEnvironment.reset();
}

void tst_WhisperSpeechToTextCachedModelsJob::parseCachedModels_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("models");

    QTest::newRow("empty output") << QByteArray() << QStringList();
    QTest::newRow("start, cached, cached without model")
        << "{\"type\":\"start\",\"model\":\"base\"}\n{\"type\":\"cached\",\"model\":\"tiny\"}\n{\"type\":\"cached\",\"model\":\"\"}\n"_ba
        << QStringList{u"tiny"_s};
    QTest::newRow("cached without model key") << "{\"type\":\"cached\"}\n"_ba << QStringList();
    QTest::newRow("last line without line feed")
        << "{\"type\":\"cached\",\"model\":\"tiny\"}\n{\"type\":\"cached\",\"model\":\"small\"}"_ba << QStringList{u"tiny"_s, u"small"_s};
    QTest::newRow("only line without line feed") << "{\"type\":\"cached\",\"model\":\"base\"}"_ba << QStringList{u"base"_s};
    QTest::newRow("same model twice, helper order kept")
        << "{\"type\":\"cached\",\"model\":\"small\"}\n{\"type\":\"cached\",\"model\":\"tiny\"}\n{\"type\":\"cached\",\"model\":\"small\"}\n"_ba
        << QStringList{u"small"_s, u"tiny"_s, u"small"_s};
    QTest::newRow("type compared case-sensitively")
        << "{\"type\":\"Cached\",\"model\":\"tiny\"}\n{\"type\":\"CACHED\",\"model\":\"base\"}\n{\"type\":\"cached \",\"model\":\"small\"}\n"_ba
        << QStringList();
    QTest::newRow("other event types")
        << "{\"type\":\"finished\",\"model\":\"tiny\"}\n{\"type\":\"error\",\"model\":\"base\",\"message\":\"x\"}\n"
           "{\"type\":\"progress\",\"model\":\"small\",\"percent\":100}\n"_ba
        << QStringList();
    QTest::newRow("garbage between events")
        << "Traceback (most recent call last):\n\n{\"type\":\"cached\",\"model\":\"tiny\"}\nnull\n[{\"type\":\"cached\",\"model\":\"x\"}]\n"
           "{\"type\":\"cached\",\"model\":\"ba\n{\"model\":\"large\"}\n{\"type\":\"cached\",\"model\":\"base\"}\n"_ba
        << QStringList{u"tiny"_s, u"base"_s};
    QTest::newRow("model that is not a string") << "{\"type\":\"cached\",\"model\":7}\n"_ba << QStringList();
    QTest::newRow("carriage returns") << "{\"type\":\"cached\",\"model\":\"tiny\"}\r\n{\"type\":\"cached\",\"model\":\"base\"}\r\n"_ba
                                      << QStringList{u"tiny"_s, u"base"_s};
}

void tst_WhisperSpeechToTextCachedModelsJob::parseCachedModels()
{
    QFETCH(QByteArray, output);
    QTEST(WhisperSpeechToTextCachedModelsJob::parseCachedModels(output), "models");
}

void tst_WhisperSpeechToTextCachedModelsJob::listing_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QStringList>("models");
    QTest::addColumn<QString>("warning");

    QTest::newRow("two models on disk")
        << R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"},{"stderr":"checking base\n"},{"sleep":100},)"
           R"({"raw":"{\"type\":\"cached\",\"model\":\"base\"}"})"_ba
        << true << QStringList{u"tiny"_s, u"base"_s} << QString();
    QTest::newRow("nothing cached, exit 0") << R"({"raw":"{\"type\":\"start\",\"model\":\"tiny\"}\n"},{"exit":0})"_ba << true
                                            << QStringList() << QString();
    QTest::newRow("silent helper, exit 0") << QByteArray() << true << QStringList() << QString();
    // A helper that fails part way may have listed only some models: nothing it printed counts.
    QTest::newRow("exit 1 after a cached event")
        << R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"},{"stderr":"Traceback"},{"exit":1})"_ba << false << QStringList()
        << uR"(^whisper cached models listing failed\. Exit code: 1$)"_s;
    QTest::newRow("crash after a cached event") << R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"},{"signal":9})"_ba << false
                                                << QStringList() << uR"(^whisper cached models listing failed\. Exit code: \d+$)"_s;
}

void tst_WhisperSpeechToTextCachedModelsJob::listing()
{
    QFETCH(QByteArray, actions);
    QFETCH(bool, loaded);
    QFETCH(QStringList, models);
    QFETCH(QString, warning);

    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(downloadScenario(actions)));

    auto job = new WhisperSpeechToTextCachedModelsJob;
    QVERIFY(job->canStart());
    CachedModelsJobWatcher watcher(job);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    job->start();
    // Nothing is reported from inside start() when the helper runs.
    QCOMPARE(watcher.total(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.total(), 1);
    QCOMPARE(watcher.loaded.count(), loaded ? 1 : 0);
    QCOMPARE(watcher.failed.count(), loaded ? 0 : 1);
    QCOMPARE(watcher.models(), models);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"download --all"_s});
}

void tst_WhisperSpeechToTextCachedModelsJob::refusals_data()
{
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("venv");

    QTest::newRow("no helper script") << false << true;
    // python3 stays on PATH here: the system interpreter does not see the environment's cache.
    QTest::newRow("no virtual environment") << true << false;
}

void tst_WhisperSpeechToTextCachedModelsJob::refusals()
{
    QFETCH(bool, script);
    QFETCH(bool, venv);

    if (script)
        QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    if (venv)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(!WhisperSpeechToTextUtils::pythonVersionPath().isEmpty());
    QVERIFY(mEnvironment->setScenario(downloadScenario(R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"})")));

    auto job = new WhisperSpeechToTextCachedModelsJob;
    QVERIFY(!job->canStart());
    CachedModelsJobWatcher watcher(job);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextCachedModelsJob");
    job->start();
    // The refusal comes from inside start(), so a caller connected beforehand sees it.
    QCOMPARE(watcher.failed.count(), 1);
    QCOMPARE(watcher.total(), 1);
    QTRY_VERIFY(!watcher.job);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextCachedModelsJob::interpreterCannotStart()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    // An interpreter path that exists but cannot be executed.
    QVERIFY(QDir().mkpath(WhisperSpeechToTextUtils::defaultVenvPath() + "/bin"_L1));
    QVERIFY(FakeHelperEnvironment::writeFile(WhisperSpeechToTextUtils::defaultVenvPython(), "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(WhisperSpeechToTextUtils::defaultVenvPython(), QFile::ReadOwner | QFile::WriteOwner));

    auto job = new WhisperSpeechToTextCachedModelsJob;
    QVERIFY(job->canStart());
    CachedModelsJobWatcher watcher(job);
    const QString program = QRegularExpression::escape(WhisperSpeechToTextUtils::defaultVenvPython());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^Unable to start "%1" ".+"$)"_s.arg(program)));
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.failed.count(), 1);
    QCOMPARE(watcher.total(), 1);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_WhisperSpeechToTextCachedModelsJob::destructionKillsHelper()
{
    QVERIFY(mEnvironment->installFakeHelper(u"whisper_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
    QVERIFY(mEnvironment->setScenario(downloadScenario(R"({"raw":"{\"type\":\"cached\",\"model\":\"tiny\"}\n"},{"stall":true})")));

    QObject parent;
    auto job = new WhisperSpeechToTextCachedModelsJob(&parent);
    CachedModelsJobWatcher watcher(job);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, JobTimeoutMs);
    const qint64 pid = mEnvironment->pids().constFirst();
    QVERIFY(processAlive(pid));

    QElapsedTimer timer;
    timer.start();
    delete job;
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    // Already reaped: the destructor waited for the killed helper.
    QVERIFY(!processAlive(pid));
    QTest::qWait(100);
    QCOMPARE(watcher.total(), 0);
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextCachedModelsJob)
#include "tst_whisperspeechtotextcachedmodelsjob.moc"
