#include "fakehelperenvironment.h"

#include <texttospeechkokoroinstalljob.h>
#include <texttospeechkokoroutils.h>

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
using namespace TextEditTextToSpeech;

namespace
{
// What a test sees of one run: every message in order, and the final signals.
struct Run {
    QStringList messages;
    int done = 0;
    int failed = 0;
    // Final signals already emitted when start() returned.
    int finalsWithinStart = 0;
    // Final signals that were already emitted when each message arrived.
    QList<int> finalsBeforeMessage;
};
} // namespace

class tst_TextToSpeechKokoroInstallJob : public QObject
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
    // ~/.venv/kokoro/bin/pip as a python script: it logs its arguments, then runs body.
    // Inside body, out(bytes) and err(bytes) write and flush, module is the last argument,
    // and wait_for_message() blocks until the test has received an installMessage since pip
    // started.
    bool installFakePip(const QByteArray &body, const QByteArray &shebang = {});
    // Starts the job and runs the event loop until its final signal and its deletion.
    void runJob(const QStringList &modules, Run &run);
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString scratch(const QString &name) const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

namespace
{
// Creating an environment and running pip a few times takes seconds; a loaded machine more.
constexpr int PipTimeoutMs = 60000;

constexpr auto readFile = &FakeHelperEnvironment::readFile;
constexpr auto writeFile = &FakeHelperEnvironment::writeFile;

const QByteArray torchRun = "install --index-url https://download.pytorch.org/whl/cpu torch\n";

// Exit code of a helper command; its output is kept out of the test log.
int quietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(PipTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

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

void tst_TextToSpeechKokoroInstallJob::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    warningCategories.clear();
    previousHandler = qInstallMessageHandler(recordWarningCategory);
}

void tst_TextToSpeechKokoroInstallJob::cleanup()
{
    qInstallMessageHandler(previousHandler);
    qunsetenv("PIP_NO_INDEX");
    qunsetenv("PIP_FIND_LINKS");
    qunsetenv("PIP_DISABLE_PIP_VERSION_CHECK");
    mEnvironment.reset();
}

QString tst_TextToSpeechKokoroInstallJob::venvPath() const
{
    return mEnvironment->home() + "/.venv/kokoro"_L1;
}

QString tst_TextToSpeechKokoroInstallJob::scratch(const QString &name) const
{
    return QDir::cleanPath(mEnvironment->home() + "/../"_L1 + name);
}

bool tst_TextToSpeechKokoroInstallJob::installFakePip(const QByteArray &body, const QByteArray &shebang)
{
    return FakeHelperEnvironment::writeScriptedPip(venvPath() + "/bin/pip"_L1, scratch(u"pip-log.txt"_s), scratch(u"received"_s), body,
                                                   shebang);
}

void tst_TextToSpeechKokoroInstallJob::runJob(const QStringList &modules, Run &run)
{
    QPointer job = new TextToSpeechKokoroInstallJob;
    job->setModules(modules);
    QCOMPARE(job->modules(), modules);
    QVERIFY(job->canStart());
    const QString received = scratch(u"received"_s);
    connect(job, &TextToSpeechKokoroInstallJob::installMessage, this, [&run, received](const QString &message) {
        run.messages.append(message);
        run.finalsBeforeMessage.append(run.done + run.failed);
        writeFile(received, {});
    });
    connect(job, &TextToSpeechKokoroInstallJob::installDone, this, [&run] {
        ++run.done;
    });
    connect(job, &TextToSpeechKokoroInstallJob::installFailed, this, [&run] {
        ++run.failed;
    });
    job->start();
    run.finalsWithinStart = run.done + run.failed;
    QTRY_COMPARE_WITH_TIMEOUT(run.done + run.failed, 1, PipTimeoutMs);
    QTRY_VERIFY(job.isNull());
    // Counted after the deletion: a second final signal would have come before it.
    QCOMPARE(run.done + run.failed, 1);
}

void tst_TextToSpeechKokoroInstallJob::refusedAtOnce_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QString>("venv");

    QTest::newRow("no modules") << QStringList() << u"pip"_s;
    QTest::newRow("no environment") << QStringList{u"kokoro"_s} << u"none"_s;
    QTest::newRow("environment without pip") << QStringList{u"kokoro"_s} << u"python only"_s;
}

void tst_TextToSpeechKokoroInstallJob::refusedAtOnce()
{
    QFETCH(QStringList, modules);
    QFETCH(QString, venv);

    if (venv == "pip"_L1)
        QVERIFY(installFakePip("out(b'pip ran')\n"));
    else if (venv == "python only"_L1)
        QVERIFY(mEnvironment->createVenv(u"kokoro"_s));

    QPointer job = new TextToSpeechKokoroInstallJob;
    job->setModules(modules);
    QVERIFY(!job->canStart());
    QSignalSpy done(job, &TextToSpeechKokoroInstallJob::installDone);
    QSignalSpy failed(job, &TextToSpeechKokoroInstallJob::installFailed);
    QSignalSpy messages(job, &TextToSpeechKokoroInstallJob::installMessage);
    QTest::ignoreMessage(QtWarningMsg, "Impossible to start TextToSpeechKokoroInstallJob");
    job->start();
    // Refusals come from inside start(), before any event loop runs.
    QCOMPARE(failed.size(), 1);
    QTRY_VERIFY(job.isNull());
    QCOMPARE(failed.size(), 1);
    QCOMPARE(done.size(), 0);
    QCOMPARE(messages.size(), 0);
    QVERIFY(!QFileInfo::exists(scratch(u"pip-log.txt"_s)));
    QCOMPARE(warningCategories.size(), 1);
    QVERIFY2(warningCategories.constFirst().endsWith("textospeech_lib.kokoroinstall"_L1), qPrintable(warningCategories.constFirst()));
}

void tst_TextToSpeechKokoroInstallJob::fakePip_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("succeeds");
    // The argument lists pip was started with, one line per run.
    QTest::addColumn<QByteArray>("pipRuns");
    // All messages joined, matched as a whole.
    QTest::addColumn<QString>("output");

    const QByteArray echo("out(('[%s]' % module).encode())\n");
    QTest::newRow("torch first, from the CPU index")
        << QStringList{u"kokoro"_s, u"torch"_s} << echo << true << torchRun + "install kokoro\n"
        << u"^\\[torch\\]\\[kokoro\\]$"_s;
    QTest::newRow("torch already first") << QStringList{u"torch"_s, u"kokoro"_s} << echo << true << torchRun + "install kokoro\n"
                                         << u"^\\[torch\\]\\[kokoro\\]$"_s;
    QTest::newRow("only espeak-ng: no pip run") << QStringList{u"espeak-ng"_s} << echo << true << QByteArray() << u"^$"_s;
    QTest::newRow("espeak-ng left out, others in order") << QStringList{u"kokoro"_s, u"espeak-ng"_s, u"numpy"_s} << echo << true
                                                         << QByteArray("install kokoro\ninstall numpy\n") << u"^\\[kokoro\\]\\[numpy\\]$"_s;
    QTest::newRow("duplicates installed each time") << QStringList{u"numpy"_s, u"torch"_s, u"kokoro"_s, u"numpy"_s, u"torch"_s} << echo
                                                    << true << torchRun + torchRun + "install numpy\ninstall kokoro\ninstall numpy\n"
                                                    << u"^\\[torch\\]\\[torch\\]\\[numpy\\]\\[kokoro\\]\\[numpy\\]$"_s;
    QTest::newRow("names compared exactly") << QStringList{u"kokoro"_s, u"Torch"_s, u"espeak"_s} << echo << true
                                            << QByteArray("install kokoro\ninstall Torch\ninstall espeak\n")
                                            << u"^\\[kokoro\\]\\[Torch\\]\\[espeak\\]$"_s;
    QTest::newRow("second of three fails, third never tried")
        << QStringList{u"kokoro"_s, u"torch"_s, u"numpy"_s}
        << QByteArray("out(b'ERROR: no kokoro\\n' if module == 'kokoro' else b'ok\\n')\nsys.exit(1 if module == 'kokoro' else 0)\n")
        << false << torchRun + "install kokoro\n"
        << u"^ok\nERROR: no kokoro\n\nUnable to install kokoro\\.\nUnable to install module. Exit code: 1$"_s;
    QTest::newRow("torch fails, exit code in decimal")
        << QStringList{u"kokoro"_s, u"torch"_s} << QByteArray("sys.exit(42)\n") << false << torchRun
        << u"^\nUnable to install torch\\.\nUnable to install module. Exit code: 42$"_s;
    QTest::newRow("pip crashes") << QStringList{u"kokoro"_s, u"numpy"_s}
                                 << QByteArray("import signal\nout(b'half')\nos.kill(os.getpid(), signal.SIGKILL)\n") << false
                                 << QByteArray("install kokoro\n")
                                 << u"^half\nUnable to install kokoro\\.\nUnable to install module. Exit code: \\d+$"_s;
    QTest::newRow("standard error only") << QStringList{u"kokoro"_s} << QByteArray("err(b'WARNING: only on stderr\\n')\n") << true
                                         << QByteArray("install kokoro\n") << u"^WARNING: only on stderr\n$"_s;
    QTest::newRow("both channels") << QStringList{u"kokoro"_s}
                                   << QByteArray("out(b'to stdout ')\nwait_for_message()\nerr(b'to stderr ')\nwait_for_message()\n"
                                                 "out(b'to stdout again')\n")
                                   << true << QByteArray("install kokoro\n") << u"^to stdout to stderr to stdout again$"_s;
    // pip blocks until a message reached the test, so output held back until pip ends
    // would make it time out.
    QTest::newRow("forwarded while pip runs, piece by piece")
        << QStringList{u"kokoro"_s}
        << QByteArray("out(b'Collecting kokoro\\n')\nwait_for_message()\ntime.sleep(0.2)\nout(b'Downloading')\nwait_for_message()\n"
                      "time.sleep(0.2)\nout(b'Successfully installed kokoro\\n')\n")
        << true << QByteArray("install kokoro\n") << u"^Collecting kokoro\nDownloadingSuccessfully installed kokoro\n$"_s;
    // "é" is C3 A9: the first read ends after C3.
    QTest::newRow("character split between reads")
        << QStringList{u"kokoro"_s} << QByteArray("out(b'caf\\xc3')\nwait_for_message()\ntime.sleep(0.2)\nout(b'\\xa9 ok')\n") << true
        << QByteArray("install kokoro\n") << u"^caf\u00e9 ok$"_s;
    // Nothing whole in the first read: no empty message, and the character comes out whole.
    QTest::newRow("read holding only part of a character")
        << QStringList{u"kokoro"_s}
        << QByteArray("out(b'ok ')\nwait_for_message()\ntime.sleep(0.2)\nout(b'\\xe2\\x82')\ntime.sleep(0.3)\n"
                      "out(b'\\xac')\n")
        << true << QByteArray("install kokoro\n") << u"^ok \u20ac$"_s;
    // The first run's cut byte is dropped; the second run's stray A9 is its own bad byte.
    QTest::newRow("cut character does not leak into the next module")
        << QStringList{u"kokoro"_s, u"torch"_s} << QByteArray("out(b'\\xc3' if module == 'torch' else b'\\xa9next')\n") << true
        << torchRun + "install kokoro\n"
        << u"^\ufffdnext$"_s;
}

void tst_TextToSpeechKokoroInstallJob::fakePip()
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
    // Without a pip run the queue is empty at once, and start() itself ends the job.
    QCOMPARE(run.finalsWithinStart, pipRuns.isEmpty() ? 1 : 0);
    QVERIFY(!run.messages.contains(QString()));
    QVERIFY2(!run.finalsBeforeMessage.contains(1), "a message came after the final signal");
    const QString joined = run.messages.join(QString());
    QVERIFY2(QRegularExpression(output).match(joined).hasMatch(), qPrintable(u"messages: "_s + run.messages.join(u" | "_s)));
    const QByteArray tag(QTest::currentDataTag());
    if (tag.contains("split") || tag.contains("piece"))
        QVERIFY2(run.messages.size() >= 2, "the test meant to split the output over several reads");
    if (!succeeds) {
        // The failed module is named in a line of its own, just before the exit code.
        QCOMPARE(run.messages.size() >= 2 ? run.messages.at(run.messages.size() - 2) : QString(),
                 u"\nUnable to install %1.\n"_s.arg(QString::fromUtf8(pipRuns.trimmed().split('\n').constLast().split(' ').constLast())));
        QVERIFY(run.messages.constLast().startsWith("Unable to install module. Exit code: "_L1));
        QVERIFY(!warningCategories.isEmpty());
        for (const QString &category : std::as_const(warningCategories))
            QVERIFY2(category.endsWith("textospeech_lib.kokoroinstall"_L1), qPrintable(category));
    }
}

void tst_TextToSpeechKokoroInstallJob::pipCannotStart()
{
    QVERIFY(installFakePip({}, "#!/nonexistent/interpreter"));
    const QString pip = venvPath() + "/bin/pip"_L1;
    const QString expected = "Unable to start "_L1 + pip;
    QTest::ignoreMessage(QtWarningMsg, ('"' + expected + '"').toUtf8().constData());

    Run run;
    runJob({u"kokoro"_s, u"numpy"_s}, run);
    QCOMPARE(run.failed, 1);
    QCOMPARE(run.done, 0);
    QCOMPARE(run.messages, QStringList{expected});
}

void tst_TextToSpeechKokoroInstallJob::realPip_data()
{
    QTest::addColumn<QStringList>("modules");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("importable");
    QTest::addColumn<QStringList>("notImportable");

    QTest::newRow("required modules") << TextToSpeechKokoroUtils::requiredModules() << true << QStringList{u"torch"_s, u"kokoro"_s}
                                      << QStringList();
    // pip knows no "espeak-ng" here, so handing it over would fail the run.
    QTest::newRow("espeak-ng reported missing too")
        << QStringList{u"kokoro"_s, u"torch"_s, u"espeak-ng"_s} << true << QStringList{u"torch"_s, u"kokoro"_s} << QStringList();
    QTest::newRow("missing module stops the run") << QStringList{u"kokoro"_s, u"nosuchmodule"_s, u"numpy"_s, u"torch"_s} << false
                                                  << QStringList{u"torch"_s, u"kokoro"_s} << QStringList{u"numpy"_s};
}

void tst_TextToSpeechKokoroInstallJob::realPip()
{
    QFETCH(QStringList, modules);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, importable);
    QFETCH(QStringList, notImportable);

    QCOMPARE(quietly(u"/usr/bin/python3.11"_s, {u"-m"_s, u"venv"_s, venvPath()}), 0);
    QCOMPARE(TextToSpeechKokoroUtils::venvPip(), venvPath() + "/bin/pip"_L1);
    const QString wheels = scratch(u"wheels"_s);
    for (const QString &dist : {u"torch"_s, u"kokoro"_s, u"numpy"_s})
        QCOMPARE(quietly(FakeHelperEnvironment::systemPython(), {QStringLiteral(FIXTURES_DIR "/make_wheel.py"), wheels, dist}), 0);

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
    const qsizetype torch = joined.indexOf("Successfully installed torch"_L1);
    const qsizetype kokoro = joined.indexOf("Successfully installed kokoro"_L1);
    QVERIFY2(torch >= 0 && kokoro > torch, qPrintable(joined));
    QVERIFY2(!joined.contains("espeak"_L1), qPrintable(joined));
    if (!succeeds) {
        QVERIFY2(joined.indexOf("nosuchmodule"_L1) > kokoro, qPrintable(joined));
        QCOMPARE(run.messages.constLast(), u"Unable to install module. Exit code: 1"_s);
        QVERIFY2(!joined.contains("numpy"_L1), qPrintable(joined));
    }

    const QString venvPython = venvPath() + "/bin/python"_L1;
    QProcess check;
    for (const QString &module : std::as_const(importable)) {
        check.start(venvPython, {u"-c"_s, u"import %1; print(%1.__file__)"_s.arg(module)});
        QVERIFY(check.waitForFinished(PipTimeoutMs));
        QCOMPARE(check.exitCode(), 0);
        QVERIFY(QString::fromUtf8(check.readAllStandardOutput()).startsWith(venvPath()));
    }
    for (const QString &module : std::as_const(notImportable))
        QCOMPARE(quietly(venvPython, {u"-c"_s, u"import "_s + module}), 1);
}

QTEST_GUILESS_MAIN(tst_TextToSpeechKokoroInstallJob)

#include "tst_texttospeechkokoroinstalljob.moc"
