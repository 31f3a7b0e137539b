#include "fakehelperenvironment.h"

#include <whisperspeechtotextinstallpythonevenvjob.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

    void createsRealVenv_data();
    void createsRealVenv();
    void noPythonOnPath();
    void interpreterOutcome_data();
    void interpreterOutcome();
    void interpreterCannotStart();
    void removalFailureStartsNothing();
    void largeOldVenvRemovedWhileEventLoopTurns();

private:
    // Puts a "python3" on PATH, ahead of the system one, that runs body under the system
    // interpreter after writing its arguments and what it saw of the old environment.
    bool installFakePython(const QByteArray &body);
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString recordPath() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
    QStringList mImmutableFiles;
    QStringList mLockedDirs;
};

void tst_WhisperSpeechToTextInstallPythonEvenvJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::cleanup()
{
    for (const QString &file : std::as_const(mImmutableFiles))
        QProcess::execute(u"chattr"_s, {u"-i"_s, file});
    mImmutableFiles.clear();
    // Otherwise the temporary directory cannot be deleted.
    for (const QString &dir : std::as_const(mLockedDirs))
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    mLockedDirs.clear();
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
    const QByteArray script = "#!" + QFile::encodeName(FakeHelperEnvironment::systemPython())
        + "\n"
          "import os, sys\n"
          "with open(r'"
        + QFile::encodeName(recordPath())
        + "', 'w') as record:\n"
          "    record.write(' '.join(sys.argv[1:]) + '\\n')\n"
          "    record.write('old marker: %s\\n' % os.path.exists(os.path.join(sys.argv[-1], 'marker')))\n"
        + body;
    const QString source = mEnvironment->home() + "/../python3-source"_L1;
    return writeFile(source, script) && mEnvironment->installScript(source, u"python3"_s);
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::createsRealVenv_data()
{
    QTest::addColumn<QString>("before");

    // What ~/.venv/whisper is when the job starts.
    QTest::newRow("nothing") << u"nothing"_s;
    QTest::newRow("complete old environment") << u"old venv"_s;
    QTest::newRow("link to a user's directory") << u"link"_s;
    QTest::newRow("dangling link") << u"dangling link"_s;
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::createsRealVenv()
{
    QFETCH(QString, before);

    const QString venv = venvPath();
    const QString userDir = mEnvironment->home() + "/precious"_L1;
    if (before == "old venv"_L1) {
        QCOMPARE(QProcess::execute(FakeHelperEnvironment::systemPython(), {u"-m"_s, u"venv"_s, u"--without-pip"_s, venv}), 0);
        QVERIFY(writeFile(venv + "/marker"_L1, "old"));
        QVERIFY(QDir().mkpath(venv + "/lib/deep/er"_L1));
        QVERIFY(writeFile(venv + "/lib/deep/er/file"_L1, "old"));
    } else if (before == "link"_L1) {
        QVERIFY(QDir().mkpath(userDir + "/sub"_L1));
        QVERIFY(writeFile(userDir + "/marker"_L1, "keep me"));
        QVERIFY(writeFile(userDir + "/sub/data"_L1, "keep me too"));
        QVERIFY(QDir().mkpath(mEnvironment->home() + "/.venv"_L1));
        QVERIFY(QFile::link(userDir, venv));
        QVERIFY(QFileInfo(venv).isSymLink());
    } else if (before == "dangling link"_L1) {
        QVERIFY(QDir().mkpath(mEnvironment->home() + "/.venv"_L1));
        QVERIFY(QFile::link(mEnvironment->home() + "/gone"_L1, venv));
        QVERIFY(!QFileInfo::exists(venv));
    }

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QVERIFY(job->canStart());
    QSignalSpy done(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, VenvTimeoutMs);
    QCOMPARE(done.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(failed.size(), 0);

    const QFileInfo venvInfo(venv);
    QVERIFY(!venvInfo.isSymLink());
    QVERIFY(venvInfo.isDir());
    QVERIFY(QFileInfo::exists(venv + "/bin/python"_L1));
    QVERIFY(QFileInfo::exists(venv + "/bin/pip"_L1));
    QCOMPARE(WhisperSpeechToTextUtils::venvPip(), venv + "/bin/pip"_L1);
    QVERIFY(!QFileInfo::exists(venv + "/marker"_L1));
    QVERIFY(!QFileInfo::exists(venv + "/lib/deep"_L1));
    if (before == "link"_L1) {
        QCOMPARE(readFile(userDir + "/marker"_L1), QByteArray("keep me"));
        QCOMPARE(readFile(userDir + "/sub/data"_L1), QByteArray("keep me too"));
        QVERIFY(!QFileInfo::exists(userDir + "/bin"_L1));
    }
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::noPythonOnPath()
{
    QVERIFY(QDir().mkpath(venvPath()));
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
    QCOMPARE(readFile(recordPath()), "-m venv " + QFile::encodeName(venvPath()) + "\nold marker: False\n");
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
    const QString locked = venvPath() + "/lib/locked"_L1;
    QVERIFY(QDir().mkpath(locked));
    QVERIFY(writeFile(locked + "/keep"_L1, "old"));
    QVERIFY(writeFile(locked + "/probe"_L1, "old"));
    // A read-only directory stops an ordinary user; root needs the immutable attribute.
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    mLockedDirs.append(locked);
    for (const QString &name : {u"keep"_s, u"probe"_s}) {
        if (QProcess::execute(u"chattr"_s, {u"+i"_s, locked + u'/' + name}) == 0)
            mImmutableFiles.append(locked + u'/' + name);
    }
    if (QFile::remove(locked + "/probe"_L1))
        QSKIP("Files cannot be protected from deletion on this machine");
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
    QVERIFY(QFileInfo::exists(locked + "/keep"_L1));
    QVERIFY(!QFileInfo::exists(recordPath()));
}

void tst_WhisperSpeechToTextInstallPythonEvenvJob::largeOldVenvRemovedWhileEventLoopTurns()
{
    // An old environment of 5000 files: removing it takes many turns of a 1 ms timer.
    for (int d = 0; d < 50; ++d) {
        const QString dir = venvPath() + u"/lib/d%1"_s.arg(d);
        QVERIFY(QDir().mkpath(dir));
        for (int f = 0; f < 100; ++f)
            QVERIFY(writeFile(dir + u"/f%1"_s.arg(f), "x"));
    }
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    QVERIFY(installFakePython("os.makedirs(os.path.join(sys.argv[-1], 'bin'))\n"
                                  "open(os.path.join(sys.argv[-1], 'bin', 'pip'), 'w').close()\n"));

    // A tick that finds the old environment while no interpreter has run yet came during the
    // removal: the event loop kept turning.
    int ticksDuringRemoval = 0;
    QTimer ticker;
    ticker.setInterval(1);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (QFileInfo::exists(venvPath()) && !QFileInfo::exists(recordPath()))
            ++ticksDuringRemoval;
    });

    QPointer job = new WhisperSpeechToTextInstallPythonEvenvJob;
    QStringList signalOrder;
    connect(job, &WhisperSpeechToTextInstallPythonEvenvJob::installFailed, this, [&signalOrder] {
        signalOrder.append(u"installFailed"_s);
    });
    connect(job, &WhisperSpeechToTextInstallPythonEvenvJob::installDone, this, [&signalOrder] {
        signalOrder.append(u"installDone"_s);
    });
    ticker.start();
    job->start();
    QTRY_VERIFY_WITH_TIMEOUT(job.isNull(), VenvTimeoutMs);
    ticker.stop();

    QCOMPARE(signalOrder, QStringList{u"installDone"_s});
    QVERIFY2(ticksDuringRemoval > 0, "the event loop stood still while the old environment was removed");
    QCOMPARE(readFile(recordPath()), "-m venv " + QFile::encodeName(venvPath()) + "\nold marker: False\n");
    QVERIFY(!QFileInfo::exists(venvPath() + "/lib/d0"_L1));
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextInstallPythonEvenvJob)

#include "tst_whisperspeechtotextinstallpythonevenvjob.moc"
