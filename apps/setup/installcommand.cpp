#include "installcommand.h"
#include "console.h"

#include <texttospeechkokorocheckjob.h>
#include <texttospeechkokoroinstalljob.h>
#include <texttospeechkokoroinstallpythonevenvjob.h>
#include <whisperspeechtotextcheckjob.h>
#include <whisperspeechtotextinstalljob.h>
#include <whisperspeechtotextinstallpythonevenvjob.h>

#include <QFileInfo>
#include <QStandardPaths>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const auto EspeakNg = u"espeak-ng"_s;
} // namespace

InstallCommand::InstallCommand(const Feature &feature, bool recreate, QObject *parent)
    : Command(parent)
    , mFeature(feature)
    , mRecreate(recreate)
{
}

void InstallCommand::start()
{
    const QString venv = mFeature.venvPath();
    if (mRecreate) {
        createEnvironment();
    } else if (!mFeature.venvPip().isEmpty()) {
        printLine(u"Using the existing python virtual environment %1."_s.arg(venv));
        checkEnvironment();
    } else {
        // Anything else at the path is left alone, and the creation says why.
        if (QFileInfo(venv + u"/pyvenv.cfg"_s).isFile())
            printLine(u"The python virtual environment %1 has no pip: it is created anew."_s.arg(venv));
        createEnvironment();
    }
}

void InstallCommand::checkEnvironment()
{
    if (mFeature.helperScriptPath().isEmpty()) {
        printLine(
            u"%1 is not on PATH, so the environment cannot be checked: installing every required module."_s.arg(mFeature.helperScript()));
        installModules(mFeature.requiredModules());
        return;
    }
    printLine(u"Checking the environment…"_s);
    if (mFeature.kind() == Feature::Kind::Whisper)
        startCheckJob<WhisperSpeechToTextCheckJob>();
    else
        startCheckJob<TextToSpeechKokoroCheckJob>();
}

template<typename Job> void InstallCommand::startCheckJob()
{
    auto job = new Job(this);
    connect(job, &Job::packagesInstalled, this, [this] {
        printLine(u"Every required module is installed already."_s);
        succeed();
    });
    connect(job, &Job::needToInstallPackages, this, &InstallCommand::environmentChecked);
    connect(job, &Job::needToReinstall, this, [this] {
        printLine(u"The environment does not answer the check: it is created anew."_s);
        createEnvironment();
    });
    job->start();
}

void InstallCommand::environmentChecked(const QStringList &missing)
{
    QStringList modules = missing;
    modules.removeAll(EspeakNg);
    if (modules.isEmpty()) {
        printLine(u"Nothing to install with pip."_s);
        succeed();
        return;
    }
    installModules(modules);
}

void InstallCommand::createEnvironment()
{
    if (mFeature.systemPythonPath().isEmpty()) {
        fail(u"%1 was not found on PATH: install it, with its venv module, to create the environment."_s.arg(mFeature.systemPython()));
        return;
    }
    printLine(u"Creating the python virtual environment %1…"_s.arg(mFeature.venvPath()));
    if (mFeature.kind() == Feature::Kind::Whisper)
        startEnvironmentJob<WhisperSpeechToTextInstallPythonEvenvJob>();
    else
        startEnvironmentJob<TextToSpeechKokoroInstallPythonEvenvJob>();
}

template<typename Job> void InstallCommand::startEnvironmentJob()
{
    auto job = new Job(this);
    connect(job, &Job::installDone, this, [this] {
        printLine(u"Python virtual environment created."_s);
        installModules(mFeature.requiredModules());
    });
    connect(job, &Job::installMessage, this, [this](const QString &reason) {
        mEnvironmentFailure = reason;
    });
    connect(job, &Job::installFailed, this, [this] {
        fail(environmentFailureText());
    });
    job->start();
}

QString InstallCommand::environmentFailureText() const
{
    const QString venv = mFeature.venvPath();
    QString text = u"Unable to create the python virtual environment %1"_s.arg(venv);
    if (mEnvironmentFailure.isEmpty())
        return text + u" (run with --verbose to see why)."_s;
    text += u": "_s + mEnvironmentFailure;
    if (!text.endsWith(u'.'))
        text += u'.';
    const QString blocked = unwritableAncestor(venv);
    if (!blocked.isEmpty())
        text += u"\n%1 cannot be written to: make it writable, or set HOME to a folder you can write to."_s.arg(blocked);
    return text;
}

// The nearest folder above path that exists, when it is the one that keeps path from being made.
QString InstallCommand::unwritableAncestor(const QString &path)
{
    QFileInfo info(path);
    while (!info.exists() && !info.isSymLink()) {
        const QFileInfo parent(info.absolutePath());
        if (parent.absoluteFilePath() == info.absoluteFilePath())
            return {};
        info = parent;
    }
    if (info.absoluteFilePath() == QFileInfo(path).absoluteFilePath() || !info.isDir() || info.isWritable())
        return {};
    return info.absoluteFilePath();
}

void InstallCommand::installModules(const QStringList &modules)
{
    printLine(u"Installing modules: %1"_s.arg(modules.join(u", "_s)));
    if (mFeature.kind() == Feature::Kind::Whisper)
        startModuleJob<WhisperSpeechToTextInstallJob>(modules);
    else
        startModuleJob<TextToSpeechKokoroInstallJob>(modules);
}

template<typename Job> void InstallCommand::startModuleJob(const QStringList &modules)
{
    auto job = new Job(this);
    job->setModules(modules);
    connect(job, &Job::installMessage, this, &InstallCommand::printOutput);
    connect(job, &Job::installDone, this, [this] {
        flushOutput();
        printLine(u"Installation done."_s);
        succeed();
    });
    connect(job, &Job::installFailed, this, [this] {
        flushOutput();
        fail(u"Installation failed."_s);
    });
    job->start();
}

void InstallCommand::succeed()
{
    // Parts that pip cannot bring are named, so that a usable check is one step away.
    if (mFeature.helperScriptPath().isEmpty())
        printLine(missingHelperText(mFeature));
    if (mFeature.kind() == Feature::Kind::Kokoro && QStandardPaths::findExecutable(EspeakNg).isEmpty())
        printLine(u"espeak-ng is missing. Please install it with your package manager, for example: sudo apt install espeak-ng"_s);
    finish(Success);
}

void InstallCommand::fail(const QString &message)
{
    Console::error(message);
    finish(JobFailed);
}

void InstallCommand::printOutput(const QString &chunk)
{
    mPendingOutput += chunk;
    qsizetype end = mPendingOutput.indexOf(u'\n');
    while (end >= 0) {
        printLine(mPendingOutput.left(end));
        mPendingOutput.remove(0, end + 1);
        end = mPendingOutput.indexOf(u'\n');
    }
}

void InstallCommand::flushOutput()
{
    printLine(mPendingOutput);
    mPendingOutput.clear();
}

void InstallCommand::printLine(const QString &line)
{
    QString text = line;
    while (!text.isEmpty() && text.back().isSpace())
        text.chop(1);
    // A progress display redraws its line after a carriage return: only the last state counts.
    text = text.mid(text.lastIndexOf(u'\r') + 1);
    if (!text.trimmed().isEmpty())
        Console::out(text);
}
