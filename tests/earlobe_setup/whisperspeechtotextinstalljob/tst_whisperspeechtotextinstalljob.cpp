#include "fakehelperenvironment.h"

#include <whisperspeechtotextinstalljob.h>
#include <whisperspeechtotextutils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
// Creating an environment and running pip a few times takes seconds; a loaded machine more.
constexpr int PipTimeoutMs = 60000;

constexpr auto readFile = &FakeHelperEnvironment::readFile;
constexpr auto writeFile = &FakeHelperEnvironment::writeFile;

// Exit code of a helper command; its output is kept out of the test log.
int quietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(PipTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

// What a test sees of one run: every message in order, and the final signals.
struct Run {
    QStringList messages;
    int done = 0;
    int failed = 0;
    // Final signals that were already emitted when each message arrived.
    QList<int> finalsBeforeMessage;
};
} // namespace

class tst_WhisperSpeechToTextInstallJob : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void refusedAtOnce_data();
    void refusedAtOnce();
    void fakePip_data();
    void fakePip();
    void pipCannotStart();
    void realPip_data();
    void realPip();

private:
    // ~/.venv/whisper/bin/pip as a python script: it logs its arguments, then runs body.
    // Inside body, out(bytes) and err(bytes) write and flush, and wait_for_message() blocks
    // until the test has received an installMessage since pip started.
    bool installFakePip(const QByteArray &body, const QByteArray &shebang = {});
    // Starts the job and runs the event loop until its final signal and its deletion.
    void runJob(const QStringList &modules, Run &run);
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString scratch(const QString &name) const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_WhisperSpeechToTextInstallJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
}

void tst_WhisperSpeechToTextInstallJob::cleanup()
{
    qunsetenv("PIP_NO_INDEX");
    qunsetenv("PIP_FIND_LINKS");
    qunsetenv("PIP_DISABLE_PIP_VERSION_CHECK");
    mEnvironment.reset();
}

QString tst_WhisperSpeechToTextInstallJob::venvPath() const
{
    return mEnvironment->home() + "/.venv/whisper"_L1;
}

QString tst_WhisperSpeechToTextInstallJob::scratch(const QString &name) const
{
    return QDir::cleanPath(mEnvironment->home() + "/../"_L1 + name);
}

bool tst_WhisperSpeechToTextInstallJob::installFakePip(const QByteArray &body, const QByteArray &shebang)
{
    return FakeHelperEnvironment::writeScriptedPip(venvPath() + "/bin/pip"_L1, scratch(u"pip-log.txt"_s), scratch(u"received"_s), body,
                                                   shebang);
}

void tst_WhisperSpeechToTextInstallJob::runJob(const QStringList &modules, Run &run)
{
    QPointer job = new WhisperSpeechToTextInstallJob;
    job->setModules(modules);
    QCOMPARE(job->modules(), modules);
    QVERIFY(job->canStart());
    const QString received = scratch(u"received"_s);
    connect(job, &WhisperSpeechToTextInstallJob::installMessage, this, [&run, received](const QString &message) {
        run.messages.append(message);
        run.finalsBeforeMessage.append(run.done + run.failed);
        writeFile(received, {});
    });
    connect(job, &WhisperSpeechToTextInstallJob::installDone, this, [&run] {
        ++run.done;
    });
    connect(job, &WhisperSpeechToTextInstallJob::installFailed, this, [&run] {
        ++run.failed;
    });
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.done + run.failed, 1, PipTimeoutMs);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(run.done + run.failed, 1);
}

void tst_WhisperSpeechToTextInstallJob::refusedAtOnce_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("venv");

    QTest::newRow("no modules") << QStringList() << u"pip"_s;
    QTest::newRow("no environment") << QStringList{u"numpy"_s} << u"none"_s;
    QTest::newRow("environment without pip") << QStringList{u"numpy"_s} << u"python only"_s;
}

void tst_WhisperSpeechToTextInstallJob::refusedAtOnce()
{
    QFETCH(QStringList, modules);
    QFETCH(QString, venv);

    if (venv == "pip"_L1)
        QVERIFY(installFakePip("out(b'pip ran')\n"));
    else if (venv == "python only"_L1)
        QVERIFY(mEnvironment->createVenv(u"whisper"_s));

    QPointer job = new WhisperSpeechToTextInstallJob;
    job->setModules(modules);
    QVERIFY(!job->canStart());
    QSignalSpy done(job, &WhisperSpeechToTextInstallJob::installDone);
    QSignalSpy failed(job, &WhisperSpeechToTextInstallJob::installFailed);
    QSignalSpy messages(job, &WhisperSpeechToTextInstallJob::installMessage);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start WhisperSpeechToTextInstallJob");
    job->start();
    // Refusals come from inside start(), before any event loop runs.
    QCOMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(failed.size(), 1);
    QCOMPARE(done.size(), 0);
    QCOMPARE(messages.size(), 0);
    QVERIFY(!QFileInfo::exists(scratch(u"pip-log.txt"_s)));
}

void tst_WhisperSpeechToTextInstallJob::fakePip_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("pipRuns");
    // All messages joined, matched as a whole.
    QTest::addColumn<QString>("output");

    const QStringList two{u"faster-whisper"_s, u"numpy"_s};
    QTest::newRow("one pip run per module, in order")
        << two << QByteArray("out(('[%s]' % sys.argv[2]).encode())\n") << true << QByteArray("install faster-whisper\ninstall numpy\n")
        << u"^\\[faster-whisper\\]\\[numpy\\]$"_s;
    QTest::newRow("first fails, second never tried")
        << two << QByteArray("out(b'ERROR: nothing found\\n')\nsys.exit(1)\n") << false << QByteArray("install faster-whisper\n")
        << u"^ERROR: nothing found\n\nUnable to install faster-whisper\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("second fails, exit code in decimal")
        << two << QByteArray("sys.exit(42 if sys.argv[2] == 'numpy' else 0)\n") << false
        << QByteArray("install faster-whisper\ninstall numpy\n") << u"^\nUnable to install numpy\\.\nUnable to install module. Exit code: 42$"_s;
    QTest::newRow("pip crashes") << two << QByteArray("import signal\nout(b'half')\nos.kill(os.getpid(), signal.SIGKILL)\n") << false
                                 << QByteArray("install faster-whisper\n")
                                 << u"^half\nUnable to install faster-whisper\\.\nUnable to install module. Exit code: \\d+$"_s;
    // pip's closing error lines name the requirement it gave up on, which may be a dependency.
    QTest::newRow("a dependency fails to build")
        << QStringList{u"faster-whisper"_s}
        << QByteArray("out(b'Collecting av\\nBuilding wheel for av ... error\\n')\n"
                      "err(b'ERROR: Failed building wheel for av\\nFailed to build av\\n"
                      "ERROR: Could not build wheels for av, which is required to install pyproject.toml-based projects\\n')\n"
                      "sys.exit(1)\n")
        << false << QByteArray("install faster-whisper\n")
        << u"\nUnable to install faster-whisper: pip failed on av, which it needs\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("no distribution for a dependency")
        << QStringList{u"faster-whisper"_s}
        << QByteArray("err(b'ERROR: Could not find a version that satisfies the requirement ctranslate2>=4 (from faster-whisper)\\n"
                      "ERROR: No matching distribution found for ctranslate2>=4\\n')\nsys.exit(1)\n")
        << false << QByteArray("install faster-whisper\n")
        << u"\nUnable to install faster-whisper: pip failed on ctranslate2, which it needs\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("the module itself, spelled another way")
        << QStringList{u"Faster_Whisper"_s} << QByteArray("err(b'ERROR: No matching distribution found for faster-whisper\\n')\nsys.exit(1)\n")
        << false << QByteArray("install Faster_Whisper\n")
        << u"faster-whisper\n\nUnable to install Faster_Whisper\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("error line split between reads")
        << QStringList{u"faster-whisper"_s}
        << QByteArray("out(b'ERROR: No matching distribution fo')\nwait_for_message()\ntime.sleep(0.2)\nout(b'und for av\\n')\nsys.exit(1)\n")
        << false << QByteArray("install faster-whisper\n")
        << u"\nUnable to install faster-whisper: pip failed on av, which it needs\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("standard error only") << QStringList{u"numpy"_s} << QByteArray("err(b'WARNING: only on stderr\\n')\n") << true
                                         << QByteArray("install numpy\n") << u"^WARNING: only on stderr\n$"_s;
    QTest::newRow("both channels") << QStringList{u"numpy"_s}
                                   << QByteArray("out(b'to stdout ')\nwait_for_message()\nerr(b'to stderr ')\nwait_for_message()\n"
                                                 "out(b'to stdout again')\n")
                                   << true << QByteArray("install numpy\n") << u"^to stdout to stderr to stdout again$"_s;
    // pip blocks until a message reached the test, so output held back until pip ends
    // would make it time out.
    QTest::newRow("forwarded while pip runs") << QStringList{u"numpy"_s}
                                              << QByteArray("out(b'Collecting numpy\\n')\nwait_for_message()\ntime.sleep(1)\n"
                                                            "out(b'Successfully installed numpy\\n')\n")
                                              << true << QByteArray("install numpy\n")
                                              << u"^Collecting numpy\nSuccessfully installed numpy\n$"_s;
    // "é" is C3 A9: the first read ends after C3.
    QTest::newRow("character split between reads")
        << QStringList{u"numpy"_s} << QByteArray("out(b'caf\\xc3')\nwait_for_message()\ntime.sleep(0.2)\nout(b'\\xa9 ok')\n") << true
        << QByteArray("install numpy\n") << u"^caf\u00e9 ok$"_s;
    // The first run's cut byte is dropped; the second run's stray A9 is its own bad byte.
    QTest::newRow("cut character does not leak into the next module")
        << two << QByteArray("out(b'\\xc3' if sys.argv[2] == 'faster-whisper' else b'\\xa9next')\n") << true
        << QByteArray("install faster-whisper\ninstall numpy\n") << u"^\ufffdnext$"_s;
}

void tst_WhisperSpeechToTextInstallJob::fakePip()
{
    QFETCH(QStringList, modules);
    QFETCH(QByteArray, body);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, pipRuns);
    QFETCH(QString, output);

    QVERIFY(installFakePip(body));
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^\"Unable to install module. Exit code: \\d+\"$"_s));

    Run run;
    runJob(modules, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.done, succeeds ? 1 : 0);
    QCOMPARE(run.failed, succeeds ? 0 : 1);
    QCOMPARE(readFile(scratch(u"pip-log.txt"_s)), pipRuns);
    QVERIFY(!run.messages.contains(QString()));
    QVERIFY2(!run.finalsBeforeMessage.contains(1), "a message came after the final signal");
    const QString joined = run.messages.join(QString());
    QVERIFY2(QRegularExpression(output).match(joined).hasMatch(), qPrintable(u"messages: "_s + run.messages.join(u" | "_s)));
    if (QByteArray(QTest::currentDataTag()).contains("split"))
        QVERIFY2(run.messages.size() >= 2, "the test meant to split the output over two reads");
    if (!succeeds)
        QVERIFY(run.messages.constLast().startsWith("Unable to install module. Exit code: "_L1));
}

void tst_WhisperSpeechToTextInstallJob::pipCannotStart()
{
    QVERIFY(installFakePip({}, "#!/nonexistent/interpreter"));
    const QString pip = venvPath() + "/bin/pip"_L1;
    const QString expected = "Unable to start "_L1 + pip;
    QTest::ignoreMessage(QtWarningMsg, ('"' + expected + '"').toUtf8().constData());

    Run run;
    runJob({u"numpy"_s}, run);
    QCOMPARE(run.failed, 1);
    QCOMPARE(run.done, 0);
    QCOMPARE(run.messages, QStringList{expected});
}

void tst_WhisperSpeechToTextInstallJob::realPip_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("importable");
    QTest::addColumn<QStringList>("notImportable");

    QTest::newRow("required modules") << WhisperSpeechToTextUtils::requiredModules() << true << QStringList{u"faster_whisper"_s, u"numpy"_s}
                                      << QStringList();
    QTest::newRow("missing module stops the run")
        << QStringList{u"nosuchmodule"_s, u"numpy"_s} << false << QStringList() << QStringList{u"numpy"_s, u"faster_whisper"_s};
}

void tst_WhisperSpeechToTextInstallJob::realPip()
{
    QFETCH(QStringList, modules);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, importable);
    QFETCH(QStringList, notImportable);

    const QString python = FakeHelperEnvironment::systemPython();
    QCOMPARE(quietly(python, {u"-m"_s, u"venv"_s, venvPath()}), 0);
    QVERIFY(QFileInfo::exists(venvPath() + "/bin/pip"_L1));
    const QString wheels = scratch(u"wheels"_s);
    for (const QString &dist : WhisperSpeechToTextUtils::requiredModules())
        QCOMPARE(quietly(python, {QStringLiteral(FIXTURES_DIR "/make_wheel.py"), wheels, dist}), 0);

    qputenv("PIP_NO_INDEX", "1");
    qputenv("PIP_FIND_LINKS", QFile::encodeName(wheels));
    qputenv("PIP_DISABLE_PIP_VERSION_CHECK", "1");
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg, "\"Unable to install module. Exit code: 1\"");

    Run run;
    runJob(modules, run);
    if (QTest::currentTestFailed())
        return;
    const QString joined = run.messages.join(QString());
    QCOMPARE(run.done, succeeds ? 1 : 0);
    QCOMPARE(run.failed, succeeds ? 0 : 1);
    if (succeeds) {
        const qsizetype first = joined.indexOf("Successfully installed faster-whisper"_L1);
        const qsizetype second = joined.indexOf("Successfully installed numpy"_L1);
        QVERIFY2(first >= 0 && second > first, qPrintable(joined));
        QVERIFY(joined.indexOf("faster_whisper-0.1-py3-none-any.whl"_L1) < joined.indexOf("numpy-0.1-py3-none-any.whl"_L1));
    } else {
        QVERIFY2(joined.contains("nosuchmodule"_L1), qPrintable(joined));
        QCOMPARE(run.messages.mid(run.messages.size() - 2),
                 QStringList({u"\nUnable to install nosuchmodule.\n"_s, u"Unable to install module. Exit code: 1"_s}));
        QVERIFY2(!joined.contains("numpy"_L1), qPrintable(joined));
    }

    const QString venvPython = venvPath() + "/bin/python"_L1;
    for (const QString &module : std::as_const(importable)) {
        QProcess check;
        check.start(venvPython, {u"-c"_s, u"import %1; print(%1.__file__)"_s.arg(module)});
        QVERIFY(check.waitForFinished(PipTimeoutMs));
        QCOMPARE(check.exitCode(), 0);
        QVERIFY(QString::fromUtf8(check.readAllStandardOutput()).startsWith(venvPath()));
    }
    for (const QString &module : std::as_const(notImportable))
        QCOMPARE(quietly(venvPython, {u"-c"_s, u"import "_s + module}), 1);
}

QTEST_GUILESS_MAIN(tst_WhisperSpeechToTextInstallJob)

#include "tst_whisperspeechtotextinstalljob.moc"
