#include "venvcreator.h"

#include "recordinginterpreter.h"
#include "undeletablefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

using HostKit::VenvCreator;

namespace
{
// Real venv creation plus pip bootstrapping takes a few seconds; a loaded machine more.
constexpr int VenvTimeoutMs = 60000;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a successful venv leaves for the tests to see, made in a blink.
const QByteArray makesEnvironment = "os.makedirs(os.path.join(sys.argv[-1], 'bin'))\n"
                                    "open(os.path.join(sys.argv[-1], 'bin', 'python'), 'w').close()\n";
} // namespace

class TestVenvCreator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void createsRealVenvOverAnOldOne();
    void replacesWhatIsThere_data();
    void replacesWhatIsThere();
    void keepsWhatIsNotAnEnvironment_data();
    void keepsWhatIsNotAnEnvironment();
    void venvOutcome_data();
    void venvOutcome();
    void missingInterpreterKeepsTheOldEnvironment_data();
    void missingInterpreterKeepsTheOldEnvironment();
    void interpreterCannotStart();
    void removalFailureRunsNothing();
    void largeOldVenvRemovedWhileEventLoopTurns();
    void secondCreateWhileRunningIsIgnored();

private:
    // Runs creator until it reports, and checks that it reported once.
    void waitForOutcome(QSignalSpy &created, QSignalSpy &failed);
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString interpreterPath() const;
    [[nodiscard]] QString recordPath() const;
    bool writeOldEnvironment();

    std::unique_ptr<QTemporaryDir> mDir;
};

void TestVenvCreator::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
}

void TestVenvCreator::cleanup()
{
    mDir.reset();
}

QString TestVenvCreator::venvPath() const
{
    return mDir->path() + "/.venv/env"_L1;
}

QString TestVenvCreator::interpreterPath() const
{
    return mDir->path() + "/python"_L1;
}

QString TestVenvCreator::recordPath() const
{
    return mDir->path() + "/record.txt"_L1;
}

bool TestVenvCreator::writeOldEnvironment()
{
    return QDir().mkpath(venvPath() + "/lib/deep/er"_L1) && writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n")
        && writeFile(venvPath() + "/marker"_L1, "old") && writeFile(venvPath() + "/lib/deep/er/file"_L1, "old");
}

void TestVenvCreator::waitForOutcome(QSignalSpy &created, QSignalSpy &failed)
{
    // Never from inside create(): a caller connects and starts in any order it likes.
    QCOMPARE(created.size() + failed.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(created.size() + failed.size(), 1, VenvTimeoutMs);
    // Nothing more arrives.
    QTest::qWait(20);
    QCOMPARE(created.size() + failed.size(), 1);
}

void TestVenvCreator::createsRealVenvOverAnOldOne()
{
    QCOMPARE(QProcess::execute(u"/usr/bin/python3"_s, {u"-m"_s, u"venv"_s, u"--without-pip"_s, venvPath()}), 0);
    QVERIFY(writeOldEnvironment());

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(u"python3"_s, venvPath());
    QVERIFY(creator.isRunning());
    waitForOutcome(created, failed);
    QCOMPARE(created.size(), 1);
    QVERIFY(!creator.isRunning());
    QCOMPARE(creator.failure(), VenvCreator::Failure::None);

    QVERIFY(QFileInfo(venvPath() + "/bin/python"_L1).isExecutable());
    QVERIFY(QFileInfo(venvPath() + "/bin/pip"_L1).isExecutable());
    QVERIFY(!QFileInfo::exists(venvPath() + "/marker"_L1));
    QVERIFY(!QFileInfo::exists(venvPath() + "/lib/deep"_L1));
}

void TestVenvCreator::replacesWhatIsThere_data()
{
    QTest::addColumn<QString>("before");

    QTest::newRow("nothing") << u"nothing"_s;
    QTest::newRow("old environment") << u"old"_s;
    QTest::newRow("link to a user's folder") << u"link"_s;
    QTest::newRow("dangling link") << u"dangling"_s;
}

void TestVenvCreator::replacesWhatIsThere()
{
    QFETCH(QString, before);

    const QString userDir = mDir->path() + "/precious"_L1;
    QVERIFY(QDir().mkpath(userDir + "/sub"_L1));
    QVERIFY(writeFile(userDir + "/marker"_L1, "keep me"));
    QVERIFY(writeFile(userDir + "/sub/data"_L1, "keep me too"));
    QVERIFY(QDir().mkpath(mDir->path() + "/.venv"_L1));
    if (before == "old"_L1)
        QVERIFY(writeOldEnvironment());
    else if (before == "link"_L1)
        QVERIFY(QFile::link(userDir, venvPath()));
    else if (before == "dangling"_L1)
        QVERIFY(QFile::link(mDir->path() + "/gone"_L1, venvPath()));
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), makesEnvironment));

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(created.size(), 1);

    // The interpreter got exactly "-m venv PATH", and the old content was gone by then.
    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
    const QFileInfo venv(venvPath());
    QVERIFY(!venv.isSymLink());
    QVERIFY(venv.isDir());
    QVERIFY(QFileInfo::exists(venvPath() + "/bin/python"_L1));
    QVERIFY(!QFileInfo::exists(venvPath() + "/lib"_L1));
    QCOMPARE(readFile(userDir + "/marker"_L1), QByteArray("keep me"));
    QCOMPARE(readFile(userDir + "/sub/data"_L1), QByteArray("keep me too"));
    QVERIFY(!QFileInfo::exists(userDir + "/bin"_L1));
}

void TestVenvCreator::keepsWhatIsNotAnEnvironment_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("reason");

    const QString advice = u", so it is left as it is: move it elsewhere or remove it, then create the environment again."_s;
    QTest::newRow("folder without pyvenv.cfg") << u"folder"_s << u" is not a python virtual environment (it has no pyvenv.cfg)"_s + advice;
    QTest::newRow("pyvenv.cfg that is a folder") << u"cfg folder"_s
                                                 << u" is not a python virtual environment (it has no pyvenv.cfg)"_s + advice;
    QTest::newRow("regular file") << u"file"_s << u" is a file, not a python virtual environment"_s + advice;
}

void TestVenvCreator::keepsWhatIsNotAnEnvironment()
{
    QFETCH(QString, before);
    QFETCH(QString, reason);

    // What a user keeps at the path, with no bin/pip, must survive the creation.
    QVERIFY(QDir().mkpath(mDir->path() + "/.venv"_L1));
    if (before == "file"_L1) {
        QVERIFY(writeFile(venvPath(), "keep me"));
    } else {
        QVERIFY(QDir().mkpath(venvPath() + "/sub"_L1));
        QVERIFY(writeFile(venvPath() + "/marker"_L1, "keep me"));
        QVERIFY(writeFile(venvPath() + "/sub/data"_L1, "keep me too"));
        if (before == "cfg folder"_L1)
            QVERIFY(QDir().mkpath(venvPath() + "/pyvenv.cfg"_L1));
    }
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), makesEnvironment));

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(creator.failure(), VenvCreator::Failure::NotAnEnvironment);
    QCOMPARE(failed.at(0).at(0).toString(), venvPath() + reason);

    QVERIFY(!QFileInfo::exists(recordPath()));
    if (before == "file"_L1) {
        QCOMPARE(readFile(venvPath()), QByteArray("keep me"));
    } else {
        QCOMPARE(readFile(venvPath() + "/marker"_L1), QByteArray("keep me"));
        QCOMPARE(readFile(venvPath() + "/sub/data"_L1), QByteArray("keep me too"));
    }
}

void TestVenvCreator::venvOutcome_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<VenvCreator::Failure>("failure");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("errorOutput");

    // Only the exit decides: a warning on standard error does not make a failure.
    QTest::newRow("exit 0 with standard error") << QByteArray("sys.stderr.write('WARNING: something odd\\n')\n"
                                                              "sys.exit(0)\n")
                                                << VenvCreator::Failure::None << QString() << QByteArray("WARNING: something odd\n");
    QTest::newRow("fails with its last line") << QByteArray("sys.stderr.write('Traceback:\\n  frame\\nError: ensurepip is not available\\n\\n')\n"
                                                            "sys.exit(1)\n")
                                              << VenvCreator::Failure::VenvFailed << u"Error: ensurepip is not available"_s
                                              << QByteArray("Traceback:\n  frame\nError: ensurepip is not available\n\n");
    QTest::newRow("fails silently") << QByteArray("sys.exit(3)\n") << VenvCreator::Failure::VenvFailed
                                    << u"Creating the environment ended with exit code 3"_s << QByteArray();
    QTest::newRow("crashes") << QByteArray("import signal\n"
                                           "sys.stderr.write('killed')\n"
                                           "sys.stderr.flush()\n"
                                           "os.kill(os.getpid(), signal.SIGKILL)\n")
                             << VenvCreator::Failure::Crashed << u"Creating the environment crashed: killed"_s << QByteArray("killed");
}

void TestVenvCreator::venvOutcome()
{
    QFETCH(QByteArray, body);
    QFETCH(VenvCreator::Failure, failure);
    QFETCH(QString, reason);
    QFETCH(QByteArray, errorOutput);

    QVERIFY(writeOldEnvironment());
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), body));

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);

    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
    QCOMPARE(creator.failure(), failure);
    QCOMPARE(created.size(), failure == VenvCreator::Failure::None ? 1 : 0);
    if (failure != VenvCreator::Failure::None) {
        QCOMPARE(failed.at(0).at(0).toString(), reason);
        QCOMPARE(creator.errorOutput(), errorOutput);
    }
}

void TestVenvCreator::missingInterpreterKeepsTheOldEnvironment_data()
{
    QTest::addColumn<QString>("python");

    QTest::newRow("no such file") << u"/nonexistent/python3"_s;
    QTest::newRow("not on PATH") << u"python-that-is-nowhere"_s;
    QTest::newRow("not executable") << u"plain file"_s;
    QTest::newRow("none given") << QString();
}

void TestVenvCreator::missingInterpreterKeepsTheOldEnvironment()
{
    QFETCH(QString, python);

    if (python == "plain file"_L1) {
        python = interpreterPath();
        QVERIFY(writeFile(python, "#!/usr/bin/python3\n"));
    }
    QVERIFY(writeOldEnvironment());

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(python, venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(creator.failure(), VenvCreator::Failure::InterpreterMissing);
    QCOMPARE(failed.at(0).at(0).toString(), u"Python interpreter not found: %1"_s.arg(python));
    // Nothing is removed for an environment that could not be made again.
    QCOMPARE(readFile(venvPath() + "/marker"_L1), QByteArray("old"));
}

void TestVenvCreator::interpreterCannotStart()
{
    // Executable, so it is found, but the kernel cannot run it.
    QVERIFY(writeFile(interpreterPath(), "#!/nonexistent/interpreter\n"));
    QVERIFY(QFile::setPermissions(interpreterPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(creator.failure(), VenvCreator::Failure::CannotStart);
    const QString reason = failed.at(0).at(0).toString();
    QVERIFY2(reason.startsWith(u"Could not start %1: "_s.arg(interpreterPath())), qPrintable(reason));
    QVERIFY(!reason.contains(u'\n'));
}

void TestVenvCreator::removalFailureRunsNothing()
{
    const UndeletableFolder locked(venvPath() + "/lib/locked"_L1);
    if (!locked.isProtected())
        QSKIP("Files cannot be protected from deletion on this machine");
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), "sys.exit(0)\n"));

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(creator.failure(), VenvCreator::Failure::RemovalFailed);
    QCOMPARE(failed.at(0).at(0).toString(), u"Could not remove the old environment at %1"_s.arg(venvPath()));
    QVERIFY(QFileInfo::exists(locked.keptFile()));
    QVERIFY(!QFileInfo::exists(recordPath()));
}

void TestVenvCreator::largeOldVenvRemovedWhileEventLoopTurns()
{
    // An old environment of 5000 files: removing it takes many turns of a 1 ms timer.
    for (int d = 0; d < 50; ++d) {
        const QString dir = venvPath() + u"/lib/d%1"_s.arg(d);
        QVERIFY(QDir().mkpath(dir));
        for (int f = 0; f < 100; ++f)
            QVERIFY(writeFile(dir + u"/f%1"_s.arg(f), "x"));
    }
    QVERIFY(writeFile(venvPath() + "/pyvenv.cfg"_L1, "home = /usr/bin\n"));
    QVERIFY(writeFile(venvPath() + "/marker"_L1, "old"));
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), makesEnvironment));

    // A tick that finds the old environment while no interpreter has run yet came during the
    // removal: the event loop kept turning.
    int ticksDuringRemoval = 0;
    QTimer ticker;
    ticker.setInterval(1);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (QFileInfo::exists(venvPath()) && !QFileInfo::exists(recordPath()))
            ++ticksDuringRemoval;
    });

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    ticker.start();
    creator.create(interpreterPath(), venvPath());
    waitForOutcome(created, failed);
    ticker.stop();

    QCOMPARE(created.size(), 1);
    QVERIFY2(ticksDuringRemoval > 0, "the event loop stood still while the old environment was removed");
    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
    QVERIFY(!QFileInfo::exists(venvPath() + "/lib/d0"_L1));
}

void TestVenvCreator::secondCreateWhileRunningIsIgnored()
{
    QVERIFY(RecordingInterpreter::write(interpreterPath(), recordPath(), makesEnvironment));
    const QString other = mDir->path() + "/other"_L1;

    VenvCreator creator;
    QSignalSpy created(&creator, &VenvCreator::created);
    QSignalSpy failed(&creator, &VenvCreator::failed);
    creator.create(interpreterPath(), venvPath());
    creator.create(interpreterPath(), other);
    QCOMPARE(creator.path(), venvPath());
    waitForOutcome(created, failed);
    QCOMPARE(created.size(), 1);
    QCOMPARE(readFile(recordPath()), RecordingInterpreter::expectedRecord(venvPath()));
    QVERIFY(!QFileInfo::exists(other));
}

QTEST_GUILESS_MAIN(TestVenvCreator)
#include "tst_venvcreator.moc"
