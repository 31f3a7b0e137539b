// The tool under hostile conditions: stopped by a signal while pip runs, and run with a
// standard output that cannot be written.
#include "fakehelperenvironment.h"
#include "processprobe.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <memory>

#include <csignal>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
QProcess *startTool(const QStringList &arguments, QObject *parent)
{
    auto tool = new QProcess(parent);
    // A group of its own, as a shell gives a job: a signal to the group reaches pip too,
    // as Ctrl-C in a terminal does.
    tool->setChildProcessModifier([] {
        ::setpgid(0, 0);
    });
    tool->start(QStringLiteral(TOOL_PATH), arguments);
    return tool;
}
} // namespace

enum Output {
    FullDevice,
    Closed,
    ReaderGone,
};

class tst_SetupToolFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void signalStopsPip_data();
    void signalStopsPip();
    void unwritableOutput_data();
    void unwritableOutput();

private:
    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_SetupToolFaults::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(mEnvironment->createVenv(u"whisper"_s));
}

void tst_SetupToolFaults::cleanup()
{
    mEnvironment.reset();
}

void tst_SetupToolFaults::signalStopsPip_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("toGroup");
    QTest::addColumn<bool>("pipIgnoresIt");

    // pip that ends on the signal it is passed, and one that must be killed after the wait.
    QTest::newRow("SIGTERM to the tool") << SIGTERM << false << false;
    QTest::newRow("SIGINT to the tool") << SIGINT << false << false;
    QTest::newRow("SIGINT to the tool, pip ignores it") << SIGINT << false << true;
    QTest::newRow("SIGINT to the group, pip ignores it") << SIGINT << true << true;
    QTest::newRow("SIGTERM to the group") << SIGTERM << true << false;
}

void tst_SetupToolFaults::signalStopsPip()
{
    QFETCH(int, signal);
    QFETCH(bool, toGroup);
    QFETCH(bool, pipIgnoresIt);

    // No helper on PATH: the tool goes straight to pip, which records its pid and stalls.
    const QString pip = mEnvironment->home() + "/.venv/whisper/bin/pip"_L1;
    const QByteArray body = QByteArray(pipIgnoresIt ? "import signal\n"
                                                      "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
                                                      "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                                                    : "")
        + "with open(os.environ['FAKE_HELPER_PIDS'], 'a') as pids:\n"
          "    pids.write(str(os.getpid()) + '\\n')\n"
          "time.sleep(600)\n";
    QVERIFY(FakeHelperEnvironment::writeScriptedPip(pip, mEnvironment->home() + "/pip.log"_L1, mEnvironment->home() + "/received"_L1, body));

    QProcess *tool = startTool({u"install"_s, u"whisper"_s}, this);
    QVERIFY(tool->waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(mEnvironment->pids().size(), 1, 10000);
    const qint64 pipPid = mEnvironment->pids().constFirst();
    QVERIFY(!ProcessProbe::processGone(pipPid));
    // A failing run must not leave its orphan to the rest of the tests.
    const auto killOrphan = qScopeGuard([pipPid] {
        if (!ProcessProbe::processGone(pipPid))
            ::kill(pid_t(pipPid), SIGKILL);
    });

    QCOMPARE(::kill(toGroup ? -pid_t(tool->processId()) : pid_t(tool->processId()), signal), 0);
    QVERIFY(tool->waitForFinished(5000));
    const QByteArray err = tool->readAllStandardError();
    QVERIFY2(tool->exitStatus() == QProcess::NormalExit, err);
    QCOMPARE(tool->exitCode(), 128 + signal);
    QVERIFY2(err.contains("stopped by SIG"), err);
    // pip was reaped by the tool before it ended: no orphan is left to run beside a second
    // install.
    QVERIFY2(ProcessProbe::processGone(pipPid), "pip outlived the tool");
}

void tst_SetupToolFaults::unwritableOutput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("output");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("check > /dev/full") << QStringList{u"check"_s} << int(FullDevice) << QByteArray("No space left on device");
    QTest::newRow("check >&-") << QStringList{u"check"_s} << int(Closed) << QByteArray("Bad file descriptor");
    QTest::newRow("--help > /dev/full") << QStringList{u"--help"_s} << int(FullDevice) << QByteArray("No space left on device");
    // A reader that went away, as in "earlobe-larynx-setup check | head -0": a message, not a silent death.
    QTest::newRow("check to a pipe without reader") << QStringList{u"check"_s} << int(ReaderGone) << QByteArray("Broken pipe");
}

void tst_SetupToolFaults::unwritableOutput()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, output);
    QFETCH(QByteArray, reason);

    QProcess tool;
    if (output == Closed) {
        tool.setChildProcessModifier([] {
            ::close(STDOUT_FILENO);
        });
    } else if (output == ReaderGone) {
        tool.setChildProcessModifier([] {
            int ends[2];
            if (::pipe(ends) == 0) {
                ::close(ends[0]);
                ::dup2(ends[1], STDOUT_FILENO);
                ::close(ends[1]);
            }
        });
    } else {
        tool.setStandardOutputFile(u"/dev/full"_s);
    }
    tool.start(QStringLiteral(TOOL_PATH), arguments);
    QVERIFY(tool.waitForFinished(10000));
    const QByteArray err = tool.readAllStandardError();
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit, err);
    QCOMPARE(tool.exitCode(), 3);
    QVERIFY2(err.contains("earlobe-larynx-setup: cannot write to standard output: " + reason), err);
}

QTEST_GUILESS_MAIN(tst_SetupToolFaults)
#include "tst_setuptoolfaults.moc"
