#include "fakehelperenvironment.h"
#include "recordinginterpreter.h"
#include "undeletablefolder.h"

#include <whisperspeechtotextinstallpythonevenvjob.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
// Real venv creation plus pip bootstrapping takes a few seconds; a loaded machine more.
constexpr int VenvTimeoutMs = 60000;

constexpr auto readFile = &FakeHelperEnvironment::readFile;
constexpr auto writeFile = &FakeHelperEnvironment::writeFile;
} // namespace

class tst_WhisperSpeechToTextInstallPythonEvenvJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void createsRealVenv();
    void noPythonOnPath();
    void interpreterOutcome_data();
    void interpreterOutcome();
    void interpreterCannotStart();
    void removalFailureStartsNothing();

private:
    // Puts a "python3" on PATH, ahead of the system one (see RecordingInterpreter).
    bool installFakePython(const QByteArray &body);
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString recordPath() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextInstallPythonEvenvJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::cleanup()
{
    mEnvironment.reset();
}

QString tst_WhisperSpeechToTextInstallPythonEvenvJob::venvPath() const
{
    return mEnvironment->home() + "/.venv/whisper"_L1;
}

QString tst_WhisperSpeechToTextInstallPythonEvenvJob::recordPath() const
{
    return mEnvironment->home() + "/../python3-record.txt"_L1;
}

bool tst_WhisperSpeechToTextInstallPythonEvenvJob::installFakePython(const QByteArray &body)
{
    return RecordingInterpreter::write(mEnvironment->binDir() + "/python3"_L1, recordPath(), body);
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::createsRealVenv()
{
    // What stood at the path before, links included, is VenvCreator's: see tst_venvcreator.
    const QString venv = venvPath();
    QVERIFY(QDir().mkpath(venv));
    QVERIFY(writeFile(venv + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venv + "/marker"_L1, "old"));

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QVERIFY(job->canStart());
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, VenvTimeoutMs);
    QCOMPARE(done.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(failed.size(), 0);

    QVERIFY(QFileInfo(venv).isDir());
    QVERIFY(QFileInfo::exists(venv + "/bin/python"_L1));
    QVERIFY(QFileInfo::exists(venv + "/bin/pip"_L1));
    QCOMPARE(WhisperSpeechToTextUtils::venvPip(), venv + "/bin/pip"_L1);
    QVERIFY(!QFileInfo::exists(venv + "/marker"_L1));
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::noPythonOnPath()
{
    QVERIFY(QDir().mkpath(venvPath()));
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    QTemporaryDir emptyBin;
    QVERIFY(emptyBin.isValid());
    qputenv("PATH", QFile::encodeName(emptyBin.path()));

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QVERIFY(!job->canStart());
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextInstallPythonEvenvJob");
    job->start();
    // Refusals come from inside start(), before any event loop runs.
    QCOMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(readFile(venvPath() + "/marker"_L1), QByteArray("old"));
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::interpreterOutcome_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("warning");

    QTest::newRow("venv without pip") << QByteArray("os.makedirs(os.path.join(sys.argv[-1], 'bin'))\n"
                                                    "open(os.path.join(sys.argv[-1], 'bin', 'python'), 'w').close()\n")
                                      << u"^Virtualenv created without pip: \"%1/bin/pip\"$"_s;
    QTest::newRow("venv fails") << QByteArray("sys.stderr.write('ensurepip is not available')\n"
                                              "sys.exit(1)\n")
                                << u"^Unable to create venv \"%1\" \"ensurepip is not available\"$"_s;
    QTest::newRow("venv crashes") << QByteArray("import signal\n"
                                                "os.makedirs(os.path.join(sys.argv[-1], 'bin'))\n"
                                                "open(os.path.join(sys.argv[-1], 'bin', 'pip'), 'w').close()\n"
                                                "sys.stderr.write('killed')\n"
                                                "sys.stderr.flush()\n"
                                                "os.kill(os.getpid(), signal.SIGKILL)\n")
                                  << u"^Unable to create venv \"%1\" \"killed\"$"_s;
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::interpreterOutcome()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, warning);

    QVERIFY(QDir().mkpath(venvPath()));
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    QVERIFY(installFakePython(body));
    QCOMPARE(WhisperSpeechToTextUtils::pythonVersionPath(), mEnvironment->binDir() + "/python3"_L1);

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning.arg(QRegularExpression::escape(venvPath()))));
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, VenvTimeoutMs);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);

    // The interpreter got exactly "-m venv <path>", and the old environment was gone by then.
    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::interpreterCannotStart()
{
    // Executable, so it is found on PATH, but the kernel cannot run it.
    const QString source = mEnvironment->home() + "/../python3-source"_L1;
    QVERIFY(writeFile(source, "#!/nonexistent/interpreter\n"));
    QVERIFY(mEnvironment->installScript(source, u"python3"_s));
    const QString program = mEnvironment->binDir() + "/python3"_L1;

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QVERIFY(job->canStart());
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Unable to start \"%1\"$"_s.arg(QRegularExpression::escape(program))));
    job->start();
    QTRY_COMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::removalFailureStartsNothing()
{
    const UndeletableFolder locked(venvPath() + "/lib/locked"_L1);
    if (!locked.isProtected())
        QSKIP("Files cannot be protected from deletion on this machine");
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(installFakePython("sys.exit(0)\n"));

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(u"^Impossible to remove existing venv: \"%1\"$"_s.arg(QRegularExpression::escape(venvPath()))));
    job->start();
    QTRY_COMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
    QVERIFY(QFileInfo::exists(locked.keptFile()));
    QVERIFY(!QFileInfo::exists(recordPath()));
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextInstallPythonEvenvJob)

#include "tst_whisperspeechtotextinstallpythonevenvjob.moc"
