#include "fakehelperenvironment.h"

#include <texttospeechkokorocheckjob.h>
#include <texttospeechkokoroutils.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/types.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

using CheckResult = TextToSpeechKokoroCheckJob::CheckResult;

// Declared before any helper holding raw strings: moc misreads some of them and would then
// miss this class.
class tst_TextToSpeechKokoroCheckJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void errorString_data();
    void errorString();

    void helperAnswer_data();
    void helperAnswer();
    void brokenHelperMeansReinstall_data();
    void brokenHelperMeansReinstall();

    void missingScript_data();
    void missingScript();
    void missingVenvStartsNothing();
    void interpreterCannotStart();
    void silentHelperTimesOut();

    void realHelper_data();
    void realHelper();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
constexpr int JobTimeoutMs = 10000;
const QString SystemEspeakNg = u"/usr/bin/espeak-ng"_s;

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

// The actions of a helper that writes just this text and ends normally.
QByteArray answer(const QByteArray &text)
{
    return "[" + rawAction(text) + "]";
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

// An interpreter path that exists but cannot be executed.
bool createBrokenVenvPython()
{
    const QString python = TextToSpeechKokoroUtils::defaultVenvPython();
    if (!QDir().mkpath(TextToSpeechKokoroUtils::defaultVenvPath() + "/bin"_L1))
        return false;
    QFile file(python);
    return file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\n") > 0 && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

// Watches the three final signals of one job, and whether the job is still alive.
class CheckJobWatcher
{
public:
    explicit CheckJobWatcher(TextToSpeechKokoroCheckJob *job)
        : job(job)
        , reinstall(job, &TextToSpeechKokoroCheckJob::needToReinstall)
        , installed(job, &TextToSpeechKokoroCheckJob::packagesInstalled)
        , install(job, &TextToSpeechKokoroCheckJob::needToInstallPackages)
    {
    }

    [[nodiscard]] qsizetype total() const
    {
        return reinstall.count() + installed.count() + install.count();
    }

    // "reinstall", "installed" or "install", when exactly one signal came.
    [[nodiscard]] QString outcome() const
    {
        if (total() != 1)
            return u"signals: %1"_s.arg(total());
        if (reinstall.count())
            return u"reinstall"_s;
        return installed.count() ? u"installed"_s : u"install"_s;
    }

    [[nodiscard]] QStringList installList() const
    {
        return install.isEmpty() ? QStringList() : install.constFirst().constFirst().toStringList();
    }

    QPointer<TextToSpeechKokoroCheckJob> job;
    QSignalSpy reinstall;
    QSignalSpy installed;
    QSignalSpy install;
};

QString expectedOutcome(const QStringList &missing, bool needReinstall)
{
    if (needReinstall)
        return u"reinstall"_s;
    return missing.isEmpty() ? u"installed"_s : u"install"_s;
}

// Records every log message in arrival order, passing it on to the test framework so that
// ignoreMessage and failOnWarning keep working; tests add their own events in between.
class EventLog
{
public:
    EventLog()
    {
        sInstance = this;
        mPrevious = qInstallMessageHandler(handler);
    }
    ~EventLog()
    {
        qInstallMessageHandler(mPrevious);
        sInstance = nullptr;
    }
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    QStringList events;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        sInstance->events.append(u"log: "_s + message);
        if (sInstance->mPrevious)
            sInstance->mPrevious(type, context, message);
    }

    static inline EventLog *sInstance = nullptr;
    QtMessageHandler mPrevious = nullptr;
};
} // namespace

void tst_TextToSpeechKokoroCheckJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    // A warning a test does not expect is a fault; expected ones are named with ignoreMessage.
    QTest::failOnWarning(QRegularExpression(u".*"_s));
}

void tst_TextToSpeechKokoroCheckJob::cleanup()
{
    mEnvironment.reset();
}

void tst_TextToSpeechKokoroCheckJob::errorString_data()
{
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<bool>("needReinstall");
    QTest::addColumn<QString>("helperError");
    QTest::addColumn<QString>("text");

    QTest::newRow("valid") << QStringList() << false << QString() << QString();
    QTest::newRow("reinstall") << QStringList() << true << QString() << u"Kokoro is not usable. Please reinstall it."_s;
    QTest::newRow("reinstall wins over missing")
        << QStringList{u"kokoro"_s} << true << QString() << u"Kokoro is not usable. Please reinstall it."_s;
    QTest::newRow("one missing") << QStringList{u"espeak-ng"_s} << false << QString() << u"Kokoro is not installed. Missing: espeak-ng"_s;
    QTest::newRow("module and program") << QStringList{u"kokoro"_s, u"espeak-ng"_s} << false << QString()
                                        << u"Kokoro is not installed. Missing: kokoro, espeak-ng"_s;
    QTest::newRow("empty entry kept") << QStringList{QString(), u"torch"_s} << false << QString()
                                      << u"Kokoro is not installed. Missing: , torch"_s;
    // A name is substituted once; a placeholder inside it stays as it is.
    QTest::newRow("placeholder in a name") << QStringList{u"%1"_s, u"torch"_s} << false << QString()
                                           << u"Kokoro is not installed. Missing: %1, torch"_s;
    QTest::newRow("reinstall with the helper's reason")
        << QStringList() << true << u"ModuleNotFoundError: No module named 'numpy'"_s
        << u"Kokoro is not usable. Please reinstall it. The check said: ModuleNotFoundError: No module named 'numpy'"_s;
    // A reason is only told with a reinstall.
    QTest::newRow("reason without reinstall") << QStringList{u"torch"_s} << false << u"oops"_s
                                              << u"Kokoro is not installed. Missing: torch"_s;
}

void tst_TextToSpeechKokoroCheckJob::errorString()
{
    QFETCH(QStringList, missing);
    QFETCH(bool, needReinstall);
    QFETCH(QString, helperError);
    QFETCH(QString, text);

    CheckResult result;
    result.missing = missing;
    result.needReinstall = needReinstall;
    result.helperError = helperError;
    QCOMPARE(result.errorString(), text);
    QCOMPARE(result.errorString().isNull(), text.isNull());
    QCOMPARE(result.isValid(), !needReinstall && missing.isEmpty());
}

void tst_TextToSpeechKokoroCheckJob::helperAnswer_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<bool>("needReinstall");

    const QStringList modules{u"kokoro"_s, u"torch"_s};
    const QStringList all{u"kokoro"_s, u"torch"_s, u"espeak-ng"_s};
    const QStringList espeakOnly{u"espeak-ng"_s};

    QTest::newRow("available") << answer(R"({"available": true})") << QStringList() << false;
    QTest::newRow("available ignores the rest")
        << answer(R"({"available": true, "missing": ["kokoro"], "espeakNg": ""})") << QStringList() << false;

    QTest::newRow("modules missing, espeak-ng present")
        << answer(R"({"available": false, "missing": ["kokoro", "torch"], "espeakNg": "/usr/bin/espeak-ng"})") << modules << false;
    QTest::newRow("modules missing, espeakNg empty")
        << answer(R"({"available": false, "missing": ["kokoro", "torch"], "espeakNg": ""})") << all << false;
    QTest::newRow("modules missing, espeakNg absent") << answer(R"({"available": false, "missing": ["kokoro", "torch"]})") << all << false;
    QTest::newRow("espeakNg not a string") << answer(R"({"available": false, "missing": ["kokoro", "torch"], "espeakNg": true})") << all
                                           << false;
    QTest::newRow("helper order and duplicates kept")
        << answer(R"({"available": false, "missing": ["torch", "kokoro", "torch"], "espeakNg": "x"})")
        << QStringList{u"torch"_s, u"kokoro"_s, u"torch"_s} << false;
    // An entry without a name cannot be installed: it is dropped, and a list of nothing but
    // such entries leaves an environment that is not usable.
    QTest::newRow("number dropped") << answer(R"({"available": false, "missing": [1], "espeakNg": "/usr/bin/espeak-ng"})") << QStringList()
                                    << true;
    QTest::newRow("unusable entries dropped") << answer(
        R"({"available": false, "missing": [null, "torch", {}, "", "  "], "espeakNg": "x"})")
                                              << QStringList{u"torch"_s} << false;

    QTest::newRow("nothing missing, espeak-ng present")
        << answer(R"({"available": false, "espeakNg": "/usr/bin/espeak-ng"})") << QStringList() << true;
    QTest::newRow("empty list, espeak-ng present")
        << answer(R"({"available": false, "missing": [], "espeakNg": "x"})") << QStringList() << true;
    QTest::newRow("missing not an array") << answer(R"({"available": false, "missing": "kokoro", "espeakNg": "x"})") << QStringList()
                                          << true;
    QTest::newRow("available as a string is not true") << answer(R"({"available": "true", "espeakNg": "x"})") << QStringList() << true;
    QTest::newRow("available as a number is not true")
        << answer(R"({"available": 1, "missing": ["kokoro"], "espeakNg": "x"})") << QStringList{u"kokoro"_s} << false;
    QTest::newRow("nothing missing, espeakNg absent") << answer(R"({"available": false})") << espeakOnly << false;

    // Whatever is not one JSON object is no answer: the environment is broken, not short of
    // espeak-ng.
    QTest::newRow("empty output") << "[]"_ba << QStringList() << true;
    QTest::newRow("not JSON") << answer("Traceback (most recent call last):\n") << QStringList() << true;
    QTest::newRow("null") << answer("null") << QStringList() << true;
    QTest::newRow("array") << answer(R"([{"available": true}])") << QStringList() << true;
    QTest::newRow("truncated object") << answer(R"({"available": true, "missing": [)") << QStringList() << true;
    QTest::newRow("text after the object") << answer(R"({"available": true} done)") << QStringList() << true;

    // The answer counts, not the exit code.
    QTest::newRow("available, exit 1") << "[" + rawAction(R"({"available": true})") + R"(,{"exit": 1}])" << QStringList() << false;
    QTest::newRow("missing, exit 1") << "[" + rawAction(R"({"available": false, "missing": ["torch"], "espeakNg": "x"})")
            + R"(,{"exit": 1}])" << QStringList{u"torch"_s}
                                     << false;
    QTest::newRow("no output, exit 1") << R"([{"exit": 1}])"_ba << QStringList() << true;
    QTest::newRow("killed by a signal") << "[" + rawAction(R"({"available": true})") + R"(,{"signal": 9}])" << QStringList() << false;
    QTest::newRow("noise on stderr") << "[" + rawAction(R"({"available": true})") + R"(,{"stderr": "{\"available\": false}"}])"
                                     << QStringList() << false;
    QTest::newRow("answer in pieces") << R"([{"raw": "{\"available\": "}, {"sleep": 200}, {"raw": "true}"}])"_ba << QStringList() << false;
}

// The asynchronous job and the blocking form must come to the same verdict.
void tst_TextToSpeechKokoroCheckJob::helperAnswer()
{
    QFETCH(QByteArray, actions);
    QFETCH(QStringList, missing);
    QFETCH(bool, needReinstall);

    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->setScenario(checkScenario(actions)));

    auto job = new TextToSpeechKokoroCheckJob;
    QVERIFY(job->canStart());
    CheckJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), expectedOutcome(missing, needReinstall));
    QCOMPARE(watcher.installList(), watcher.install.isEmpty() ? QStringList() : missing);
    QCOMPARE(mEnvironment->startArguments(), QStringList{u"check"_s});

    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, missing);
    QCOMPARE(result.needReinstall, needReinstall);
    QCOMPARE(mEnvironment->startArguments(), (QStringList{u"check"_s, u"check"_s}));
}

void tst_TextToSpeechKokoroCheckJob::brokenHelperMeansReinstall_data()
{
    QTest::addColumn<QByteArray>("actions");
    QTest::addColumn<QString>("helperError");

    const QString silent = u"The check printed no readable answer."_s;
    QTest::newRow("crashes after a traceback")
        << R"([{"stderr": "Traceback (most recent call last):\n  File \"x\", line 1\nImportError: libtorch.so: cannot open shared object file\n\n"}, {"signal": 11}])"_ba
        << u"ImportError: libtorch.so: cannot open shared object file"_s;
    QTest::newRow("exits 1 with a message") << R"([{"stderr": "  RuntimeError: broken  "}, {"exit": 1}])"_ba << u"RuntimeError: broken"_s;
    QTest::newRow("prints nothing") << "[]"_ba << silent;
    QTest::newRow("killed, nothing said") << R"([{"signal": 9}])"_ba << silent;
    QTest::newRow("unreadable output") << "[" + rawAction("Segmentation fault\n") + R"(, {"stderr": "warning: deprecated\n"}])"
                                       << u"warning: deprecated"_s;
    QTest::newRow("an answer of unusable names") << "["
            + rawAction(R"({"available": false, "missing": [1, ""], "espeakNg": "/usr/bin/espeak-ng"})")
            + R"(, {"stderr": "kokoro: odd"}])" << u"kokoro: odd"_s;
}

// A helper that fails is a broken environment, which the install dialog can rebuild; never
// "espeak-ng missing", which it cannot.
void tst_TextToSpeechKokoroCheckJob::brokenHelperMeansReinstall()
{
    QFETCH(QByteArray, actions);
    QFETCH(QString, helperError);

    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->setScenario(checkScenario(actions)));

    auto job = new TextToSpeechKokoroCheckJob;
    CheckJobWatcher watcher(job);
    QStringList order;
    connect(job, &TextToSpeechKokoroCheckJob::needToReinstallReason, this, [&order](const QString &reason) {
        order.append(u"reason: "_s + reason);
    });
    connect(job, &TextToSpeechKokoroCheckJob::needToReinstall, this, [&order] {
        order.append(u"reinstall"_s);
    });
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), u"reinstall"_s);
    QCOMPARE(order, (QStringList{u"reason: "_s + helperError, u"reinstall"_s}));

    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());
    QCOMPARE(result.helperError, helperError);
    QCOMPARE(result.errorString(), u"Kokoro is not usable. Please reinstall it. The check said: "_s + helperError);
}

void tst_TextToSpeechKokoroCheckJob::missingScript_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("absent") << false;
    QTest::newRow("not executable") << true;
}

void tst_TextToSpeechKokoroCheckJob::missingScript()
{
    QFETCH(bool, present);
    if (present)
        QVERIFY(mEnvironment->installScript(QStringLiteral(FIXTURES_DIR "/fake_helper.py"), u"kokoro_helper.py"_s, false));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));

    {
        auto job = new TextToSpeechKokoroCheckJob;
        QVERIFY(!job->canStart());
        CheckJobWatcher watcher(job);
        EventLog log;
        connect(job, &TextToSpeechKokoroCheckJob::needToReinstall, this, [&log] {
            log.events.append(u"signal: needToReinstall"_s);
        });
        QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroCheckJob");
        job->start();
        // Refusals come from within start(), before any event loop runs, and the caller hears
        // the signal before the log does.
        QCOMPARE(watcher.outcome(), u"reinstall"_s);
        QCOMPARE(log.events, (QStringList{u"signal: needToReinstall"_s, u"log: Impossible to start TextToSpeechKokoroCheckJob"_s}));
        QTRY_VERIFY(!watcher.job);
        QCOMPARE(watcher.total(), 1);
    }

    QTest::ignoreMessage(QtWarningMsg, R"(Unable to find "kokoro_helper.py")");
    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_TextToSpeechKokoroCheckJob::missingVenvStartsNothing()
{
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    // A helper that would be asked anyway must not be: without an interpreter there is no check.
    QVERIFY(mEnvironment->setScenario(checkScenario(answer(R"({"available": true})"))));

    auto job = new TextToSpeechKokoroCheckJob;
    QVERIFY(job->canStart());
    CheckJobWatcher watcher(job);
    job->start();
    QCOMPARE(watcher.outcome(), u"install"_s);
    // The modules only: espeak-ng is not known missing until an environment can be asked.
    QCOMPARE(watcher.installList(), (QStringList{u"kokoro"_s, u"torch"_s}));
    QTRY_VERIFY(!watcher.job);
    QCOMPARE(watcher.total(), 1);

    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, (QStringList{u"kokoro"_s, u"torch"_s}));
    QVERIFY(!result.needReinstall);
    QCOMPARE(result.errorString(), u"Kokoro is not installed. Missing: kokoro, torch"_s);
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_TextToSpeechKokoroCheckJob::interpreterCannotStart()
{
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(createBrokenVenvPython());
    QCOMPARE(TextToSpeechKokoroUtils::venvPython(), TextToSpeechKokoroUtils::defaultVenvPython());

    auto job = new TextToSpeechKokoroCheckJob;
    CheckJobWatcher watcher(job);
    const QString program = QRegularExpression::escape(TextToSpeechKokoroUtils::defaultVenvPython());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^Unable to start "%1" ".+"$)"_s.arg(program)));
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), u"reinstall"_s);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^kokoro check did not answer: ".+"$)"_s));
    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());
    QVERIFY(mEnvironment->pids().isEmpty());
}

void tst_TextToSpeechKokoroCheckJob::silentHelperTimesOut()
{
    QVERIFY(mEnvironment->installFakeHelper(u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    QVERIFY(mEnvironment->setScenario(checkScenario(R"([{"stall": true}])")));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uR"(^kokoro check did not answer: ".+"$)"_s));
    QElapsedTimer timer;
    timer.start();
    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(500);
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(result.needReinstall);
    QVERIFY(result.missing.isEmpty());

    // The helper that never answered must not be left running.
    const QList<qint64> pids = mEnvironment->pids();
    QCOMPARE(pids.size(), 1);
    QTRY_VERIFY(!processAlive(pids.constFirst()));
}

void tst_TextToSpeechKokoroCheckJob::realHelper_data()
{
    QTest::addColumn<QString>("espeakNgLink");
    QTest::addColumn<bool>("systemFolders");
    QTest::addColumn<QStringList>("missing");

    const QStringList modules{u"kokoro"_s, u"torch"_s};
    QTest::newRow("espeak-ng on the system PATH") << QString() << true << modules;
    QTest::newRow("PATH without espeak-ng") << QString() << false << (modules + QStringList{u"espeak-ng"_s});
    // The program is looked for on the PATH, not at a fixed place.
    QTest::newRow("espeak-ng only beside the script") << u"espeak-ng"_s << false << modules;
}

// The helper that ships with the project, run by an interpreter that has neither kokoro nor torch.
void tst_TextToSpeechKokoroCheckJob::realHelper()
{
    QFETCH(QString, espeakNgLink);
    QFETCH(bool, systemFolders);
    QFETCH(QStringList, missing);

    const bool needsEspeakNg = systemFolders || !espeakNgLink.isEmpty();
    if (needsEspeakNg && !QFileInfo(SystemEspeakNg).isExecutable())
        QSKIP("espeak-ng is not installed at /usr/bin/espeak-ng");

    QVERIFY(mEnvironment->installScript(QStringLiteral(TESTS_SOURCE_DIR "/../helpers/kokoro_helper.py"), u"kokoro_helper.py"_s));
    QVERIFY(mEnvironment->createVenv(u"kokoro"_s));
    if (!espeakNgLink.isEmpty())
        QVERIFY(QFile::link(SystemEspeakNg, mEnvironment->binDir() + u'/' + espeakNgLink));
    // The job runs the interpreter by its absolute path, so the fixture's bin folder alone is
    // enough for the script to be found; the fixture puts the old PATH back at cleanup.
    if (!systemFolders)
        qputenv("PATH", QFile::encodeName(mEnvironment->binDir()));

    auto job = new TextToSpeechKokoroCheckJob;
    QVERIFY(job->canStart());
    CheckJobWatcher watcher(job);
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.job, JobTimeoutMs);
    QCOMPARE(watcher.outcome(), u"install"_s);
    QCOMPARE(watcher.installList(), missing);

    const CheckResult result = TextToSpeechKokoroCheckJob::checkSynchronously(JobTimeoutMs);
    QCOMPARE(result.missing, missing);
    QVERIFY(!result.needReinstall);
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroCheckJob)
#include "tst_texttospeechkokorocheckjob.moc"
