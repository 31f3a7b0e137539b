#include "fakehelperenvironment.h"
#include "recordinginterpreter.h"
#include "undeletablefolder.h"

#include <texttospeechkokoroinstallpythonevenvjob.h>
#include <texttospeechkokoroutils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

class tst_TextToSpeechKokoroInstallPythonEvenvJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void createsRealVenv();
    void onlyPython3OnPath();
    void interpreterOutcome_data();
    void interpreterOutcome();
    void interpreterCannotStart();
    void removalFailureStartsNothing();

private:
    // Puts a program called name on PATH, ahead of the system ones (see RecordingInterpreter).
    bool installFakePython(const QByteArray &body, const QString &name = u"python3.11"_s);
    void verifyWarningCategories();
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString recordPath() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
// Real venv creation plus pip bootstrapping takes a few seconds; a loaded machine more.
constexpr int VenvTimeoutMs = 60000;

constexpr auto readFile = &FakeHelperEnvironment::readFile;
constexpr auto writeFile = &FakeHelperEnvironment::writeFile;

// The categories of the warnings written while a test runs; QTest's own handler still sees
// every message, so ignoreMessage() keeps working.
QtMessageHandler previousHandler = nullptr;
QStringList warningCategories;

void recordWarningCategory(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warningCategories.append(QString::fromLatin1(context.category));
    previousHandler(type, context, message);
}
} // namespace

void tst_TextToSpeechKokoroInstallPythonEvenvJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    warningCategories.clear();
    previousHandler = qInstallMessageHandler(recordWarningCategory);
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::cleanup()
{
    qInstallMessageHandler(previousHandler);
    mEnvironment.reset();
}

QString tst_TextToSpeechKokoroInstallPythonEvenvJob::venvPath() const
{
    return mEnvironment->home() + "/.venv/kokoro"_L1;
}

QString tst_TextToSpeechKokoroInstallPythonEvenvJob::recordPath() const
{
    return mEnvironment->home() + "/../python-record.txt"_L1;
}

bool tst_TextToSpeechKokoroInstallPythonEvenvJob::installFakePython(const QByteArray &body, const QString &name)
{
    return RecordingInterpreter::write(mEnvironment->binDir() + u'/' + name, recordPath(), body);
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::verifyWarningCategories()
{
    QVERIFY(!warningCategories.isEmpty());
    for (const QString &category : std::as_const(warningCategories))
        QVERIFY2(category.endsWith("textospeech_lib.kokoroinstall"_L1), qPrintable(category));
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::createsRealVenv()
{
    // What stood at the path before, an earlier environment or links, is VenvCreator's: see
    // tst_venvcreator.
    QCOMPARE(TextToSpeechKokoroUtils::pythonVersionPath(), u"/usr/bin/python3.11"_s);
    const QString venv = venvPath();
    QVERIFY(QDir().mkpath(venv));
    QVERIFY(writeFile(venv + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venv + "/marker"_L1, "old"));

    QPointer job = new TextToSpeechKokoroInstallPythonEvenvJob;
    QVERIFY(job->canStart());
    QSignalSpy done(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, VenvTimeoutMs);
    QCOMPARE(done.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(failed.size(), 0);

    QVERIFY(QFileInfo(venv).isDir());
    QVERIFY(QFileInfo::exists(venv + "/bin/python"_L1));
    QCOMPARE(TextToSpeechKokoroUtils::venvPython(), venv + "/bin/python"_L1);
    QCOMPARE(TextToSpeechKokoroUtils::venvPip(), venv + "/bin/pip"_L1);
    QVERIFY(!QFileInfo::exists(venv + "/marker"_L1));
    QVERIFY(warningCategories.isEmpty());
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::onlyPython3OnPath()
{
    QVERIFY(QDir().mkpath(venvPath()));
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    // A working "python3" is there, but only "python3.11" may be used.
    QVERIFY(installFakePython("sys.exit(0)\n", u"python3"_s));
    qputenv("PATH", QFile::encodeName(mEnvironment->binDir()));

    QPointer job = new TextToSpeechKokoroInstallPythonEvenvJob;
    QVERIFY(!job->canStart());
    QSignalSpy done(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroInstallPythonEvenvJob");
    job->start();
    // Refusals come from inside start(), before any event loop runs.
    QCOMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(readFile(venvPath() + "/marker"_L1), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(recordPath()));
    verifyWarningCategories();
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::interpreterOutcome_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("warning");

    // Nothing is made at all, so no pip either: success is the exit code alone.
    QTest::newRow("exit 0 with standard error") << QByteArray("sys.stderr.write('WARNING: something odd')\n"
                                                              "sys.exit(0)\n")
                                                << true << QString();
    QTest::newRow("venv fails") << QByteArray("sys.stderr.write('ensurepip is not available')\n"
                                              "sys.exit(1)\n")
                                << false << u"^Unable to create venv \"%1\" \"ensurepip is not available\"$"_s;
    QTest::newRow("venv crashes") << QByteArray("import signal\n"
                                                "os.makedirs(os.path.join(sys.argv[-1], 'bin'))\n"
                                                "open(os.path.join(sys.argv[-1], 'bin', 'pip'), 'w').close()\n"
                                                "sys.stderr.write('killed')\n"
                                                "sys.stderr.flush()\n"
                                                "os.kill(os.getpid(), signal.SIGKILL)\n")
                                  << false << u"^Unable to create venv \"%1\" \"killed\"$"_s;
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::interpreterOutcome()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, succeeds);
    QFETCH(QString, warning);

    QVERIFY(QDir().mkpath(venvPath()));
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    QVERIFY(installFakePython(body));
    QCOMPARE(TextToSpeechKokoroUtils::pythonVersionPath(), mEnvironment->binDir() + "/python3.11"_L1);

    QPointer job = new TextToSpeechKokoroInstallPythonEvenvJob;
    QSignalSpy done(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed);
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning.arg(QRegularExpression::escape(venvPath()))));
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, VenvTimeoutMs);
    QTRY_VERIFY(job.isNull());
    // Counted after the deletion: a second final signal would have come before it.
    QCOMPARE(done.size(), succeeds ? 1 : 0);
    QCOMPARE(failed.size(), succeeds ? 0 : 1);

    // The interpreter got exactly "-m venv <path>", and the old environment was gone by then.
    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
    if (succeeds)
        QVERIFY(warningCategories.isEmpty());
    else
        verifyWarningCategories();
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::interpreterCannotStart()
{
    // Executable, so it is found on PATH, but the kernel cannot run it.
    const QString source = mEnvironment->home() + "/../python-source"_L1;
    QVERIFY(writeFile(source, "#!/nonexistent/interpreter\n"));
    QVERIFY(mEnvironment->installScript(source, u"python3.11"_s));
    const QString program = mEnvironment->binDir() + "/python3.11"_L1;

    QPointer job = new TextToSpeechKokoroInstallPythonEvenvJob;
    QVERIFY(job->canStart());
    QSignalSpy done(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Unable to start \"%1\"$"_s.arg(QRegularExpression::escape(program))));
    job->start();
    QTRY_COMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
    verifyWarningCategories();
}

void tst_TextToSpeechKokoroInstallPythonEvenvJob::removalFailureStartsNothing()
{
    const UndeletableFolder locked(venvPath() + "/lib/locked"_L1);
    if (!locked.isProtected())
        QSKIP("Files cannot be protected from deletion on this machine");
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(installFakePython("sys.exit(0)\n"));

    QPointer job = new TextToSpeechKokoroInstallPythonEvenvJob;
    QSignalSpy done(job, &TextToSpeechKokoroInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallPythonEvenvJob::installFailed);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(u"^Impossible to remove existing venv: \"%1\"$"_s.arg(QRegularExpression::escape(venvPath()))));
    job->start();
    QTRY_COMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(done.size(), 0);
    QCOMPARE(failed.size(), 1);
    QVERIFY(QFileInfo::exists(locked.keptFile()));
    QVERIFY(!QFileInfo::exists(recordPath()));
    verifyWarningCategories();
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroInstallPythonEvenvJob)

#include "tst_texttospeechkokoroinstallpythonevenvjob.moc"
