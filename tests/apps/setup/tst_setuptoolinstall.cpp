#include "fakehelperenvironment.h"
#include "toolrun.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace
{
// A real venv with pip bootstrapped, then pip itself, on a loaded machine.
constexpr int InstallTimeoutMs = 240000;
} // namespace

// The real thing a user runs into: python's venv module and the environment's own pip,
// offline from a folder of tiny wheels.
class tst_SetupToolInstall : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void whisperFromWheels();
    void whisperWithoutWheels();
    void kokoroFromWheels();

private:
    [[nodiscard]] bool makeWheels(const QStringList &distributions);
    [[nodiscard]] QProcessEnvironment pipFromWheels() const;
    // What the environment's python imports the modules from, one line per module.
    [[nodiscard]] QStringList importedFrom(const QString &venv, const QStringList &modules) const;
    [[nodiscard]] QString wheelDir() const;

    std::unique_ptr<FakeHelperEnvironment> mEnvironment;
};

void tst_SetupToolInstall::init()
{
    mEnvironment = std::make_unique<FakeHelperEnvironment>();
    QVERIFY(mEnvironment->isValid());
    QVERIFY(QDir().mkpath(wheelDir()));
}

void tst_SetupToolInstall::cleanup()
{
    mEnvironment.reset();
}

QString tst_SetupToolInstall::wheelDir() const
{
    return mEnvironment->home() + "/../wheels"_L1;
}

bool tst_SetupToolInstall::makeWheels(const QStringList &distributions)
{
    for (const QString &distribution : distributions) {
        if (QProcess::execute(FakeHelperEnvironment::systemPython(),
                              {QStringLiteral(FIXTURES_DIR "/make_wheel.py"), wheelDir(), distribution})
            != 0)
            return false;
    }
    return true;
}

QProcessEnvironment tst_SetupToolInstall::pipFromWheels() const
{
    QProcessEnvironment environment;
    environment.insert(u"PIP_NO_INDEX"_s, u"1"_s);
    environment.insert(u"PIP_FIND_LINKS"_s, wheelDir());
    environment.insert(u"PIP_DISABLE_PIP_VERSION_CHECK"_s, u"1"_s);
    return environment;
}

QStringList tst_SetupToolInstall::importedFrom(const QString &venv, const QStringList &modules) const
{
    QProcess python;
    const QString script = u"import sys\nfor name in sys.argv[1:]:\n    print(__import__(name).__file__)"_s;
    python.start(venv + "/bin/python"_L1, QStringList{u"-c"_s, script} + modules);
    if (!python.waitForFinished() || python.exitCode() != 0)
        return {QString::fromUtf8(python.readAllStandardError())};
    return QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

void tst_SetupToolInstall::whisperFromWheels()
{
    QVERIFY(makeWheels({u"faster-whisper"_s, u"numpy"_s}));
    // The real helper answers the checks.
    QVERIFY(mEnvironment->installScript(QStringLiteral(HELPERS_DIR "/whisper_helper.py"), u"whisper_helper.py"_s));
    const QString venv = mEnvironment->home() + "/.venv/whisper"_L1;

    ToolRun run = ToolRun::run({u"install"_s, u"whisper"_s}, pipFromWheels(), InstallTimeoutMs);
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out.mid(0, 3),
             QStringList({u"Creating the python virtual environment %1…"_s.arg(venv), u"Python virtual environment created."_s,
                          u"Installing modules: faster-whisper, numpy"_s}));
    const qsizetype fasterWhisper = run.out.indexOf(u"Successfully installed faster-whisper-0.1"_s);
    QVERIFY2(fasterWhisper > 0, run.describe());
    QVERIFY2(run.out.indexOf(u"Successfully installed numpy-0.1"_s) > fasterWhisper, run.describe());
    QCOMPARE(run.out.constLast(), u"Installation done."_s);
    QVERIFY2(run.err.isEmpty(), run.describe());

    const QStringList files = importedFrom(venv, {u"faster_whisper"_s, u"numpy"_s});
    QCOMPARE(files.size(), 2);
    for (const QString &file : files)
        QVERIFY2(file.startsWith(venv + u'/'), qPrintable(file));

    run = ToolRun::run({u"check"_s, u"whisper"_s});
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out.size(), 3);
    QCOMPARE(run.out.at(0), u"whisper: usable"_s);
    QVERIFY2(run.out.at(1).startsWith(u"    python: %1/bin/python (3."_s.arg(venv)), run.describe());
    QCOMPARE(run.out.at(2), u"    audio: 16000 Hz, 1 channel"_s);

    // A second install finds nothing to do and keeps the environment.
    QVERIFY(FakeHelperEnvironment::writeFile(venv + "/marker"_L1, "kept"));
    run = ToolRun::run({u"install"_s, u"whisper"_s}, pipFromWheels(), InstallTimeoutMs);
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out,
             QStringList({u"Using the existing python virtual environment %1."_s.arg(venv), u"Checking the environment…"_s,
                          u"Every required module is installed already."_s}));
    QVERIFY(QFileInfo::exists(venv + "/marker"_L1));
}

void tst_SetupToolInstall::whisperWithoutWheels()
{
    const QString venv = mEnvironment->home() + "/.venv/whisper"_L1;
    const ToolRun run = ToolRun::run({u"install"_s, u"whisper"_s}, pipFromWheels(), InstallTimeoutMs);
    QVERIFY2(run.exitCode == 3, run.describe());
    QCOMPARE(run.out.mid(0, 3),
             QStringList({u"Creating the python virtual environment %1…"_s.arg(venv), u"Python virtual environment created."_s,
                          u"Installing modules: faster-whisper, numpy"_s}));
    // pip's own words, then the job's.
    QVERIFY2(!run.out.filter(u"No matching distribution found for faster-whisper"_s).isEmpty(), run.describe());
    // The module that failed, on a line of its own before the exit code.
    QCOMPARE(run.out.mid(run.out.size() - 2), QStringList({u"Unable to install faster-whisper."_s, u"Unable to install module. Exit code: 1"_s}));
    QCOMPARE(run.err, QStringList{u"Installation failed."_s});
    // The first failure ends the installation.
    QCOMPARE(run.out.mid(3).filter(u"numpy"_s), QStringList());
    QVERIFY(QFileInfo::exists(venv + "/bin/pip"_L1));
}

void tst_SetupToolInstall::kokoroFromWheels()
{
    if (QStandardPaths::findExecutable(u"python3.11"_s).isEmpty())
        QSKIP("python3.11 is not installed");
    QVERIFY(makeWheels({u"kokoro"_s, u"torch"_s}));
    const QString venv = mEnvironment->home() + "/.venv/kokoro"_L1;

    const ToolRun run = ToolRun::run({u"install"_s, u"kokoro"_s}, pipFromWheels(), InstallTimeoutMs);
    QVERIFY2(run.exitCode == 0, run.describe());
    QCOMPARE(run.out.mid(0, 3),
             QStringList({u"Creating the python virtual environment %1…"_s.arg(venv), u"Python virtual environment created."_s,
                          u"Installing modules: kokoro, torch"_s}));
    // torch goes first, from its own index, which the local folder stands in for.
    const qsizetype torch = run.out.indexOf(u"Successfully installed torch-0.1"_s);
    QVERIFY2(torch > 0, run.describe());
    QVERIFY2(run.out.indexOf(u"Successfully installed kokoro-0.1"_s) > torch, run.describe());
    QStringList ending{u"Installation done."_s};
    // The helper is not on PATH here; espeak-ng is wherever this machine has it.
    ending.append(
        u"kokoro_helper.py was not found on PATH. It is installed into the bin folder of the installation prefix: add that folder "
        "to PATH."_s);
    if (QStandardPaths::findExecutable(u"espeak-ng"_s).isEmpty())
        ending.append(u"espeak-ng is missing. Please install it with your package manager, for example: sudo apt install espeak-ng"_s);
    QCOMPARE(run.out.mid(run.out.size() - ending.size()), ending);

    const QStringList files = importedFrom(venv, {u"kokoro"_s, u"torch"_s});
    QCOMPARE(files.size(), 2);
    for (const QString &file : files)
        QVERIFY2(file.startsWith(venv + u'/'), qPrintable(file));
}

QTEST_GUILESS_MAIN(tst_SetupToolInstall)
#include "tst_setuptoolinstall.moc"
