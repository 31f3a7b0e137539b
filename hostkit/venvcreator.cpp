#include "venvcreator.h"
#include "folderremover.h"
#include "jsonlinesprocess.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace HostKit
{
namespace
{
constexpr int KillTimeoutMs = 1000;
} // namespace

VenvCreator::VenvCreator(QObject *parent)
    : QObject(parent)
{
}

VenvCreator::~VenvCreator()
{
    // The remover, a child, waits for its thread when it goes.
    if (!mProcess || mProcess->state() == QProcess::NotRunning)
        return;
    mProcess->disconnect(this);
    mProcess->kill();
    mProcess->waitForFinished(KillTimeoutMs);
}

void VenvCreator::create(const QString &python, const QString &path)
{
    if (mRunning)
        return;
    mRunning = true;
    mPython = python;
    mPath = path;
    mErrorOutput.clear();
    mFailure = Failure::None;
    mProgram = python.isEmpty() ? QString() : QStandardPaths::findExecutable(python);
    if (mProgram.isEmpty() || path.isEmpty()) {
        // Nothing is removed for an environment that could not be made again.
        QTimer::singleShot(0, this, [this] {
            fail(Failure::InterpreterMissing, tr("Python interpreter not found: %1").arg(mPython));
        });
        return;
    }
    const QString refusal = refusalToReplace(path);
    if (!refusal.isEmpty()) {
        QTimer::singleShot(0, this, [this, refusal] {
            fail(Failure::NotAnEnvironment, refusal);
        });
        return;
    }
    mRemover = new FolderRemover(this);
    connect(mRemover, &FolderRemover::finished, this, &VenvCreator::removalFinished);
    mRemover->remove(path);
}

void VenvCreator::setLoggingCategory(QMessageLogger::CategoryFunction category)
{
    mCategory = category;
}

bool VenvCreator::isRunning() const
{
    return mRunning;
}

QString VenvCreator::python() const
{
    return mPython;
}

QString VenvCreator::path() const
{
    return mPath;
}

VenvCreator::Failure VenvCreator::failure() const
{
    return mFailure;
}

QByteArray VenvCreator::errorOutput() const
{
    return mErrorOutput;
}

QString VenvCreator::refusalToReplace(const QString &path)
{
    // Only what venv itself made may go: a user's own folder at the path, or a file, is
    // never deleted to make room.
    const QFileInfo info(path);
    if (info.isSymLink() || !info.exists())
        return {};
    if (info.isDir()) {
        if (QFileInfo(path + u"/pyvenv.cfg"_s).isFile())
            return {};
        return tr("%1 is not a python virtual environment (it has no pyvenv.cfg), so it is left as it is: "
                  "move it elsewhere or remove it, then create the environment again.")
            .arg(path);
    }
    return tr("%1 is a file, not a python virtual environment, so it is left as it is: "
              "move it elsewhere or remove it, then create the environment again.")
        .arg(path);
}

void VenvCreator::removalFinished(bool removed)
{
    mRemover->deleteLater();
    if (!removed) {
        fail(Failure::RemovalFailed, tr("Could not remove the old environment at %1").arg(mPath));
        return;
    }
    runVenv();
}

void VenvCreator::runVenv()
{
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::finished, this, &VenvCreator::venvFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &VenvCreator::venvError);
    mProcess->start(mProgram, {u"-m"_s, u"venv"_s, mPath});
}

void VenvCreator::venvFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    mErrorOutput = mProcess->readAllStandardError();
    const QString lastLine = JsonLinesProcess::lastLine(mErrorOutput);
    if (exitStatus != QProcess::NormalExit) {
        fail(Failure::Crashed,
             lastLine.isEmpty() ? tr("Creating the environment crashed") : tr("Creating the environment crashed: %1").arg(lastLine));
        return;
    }
    if (exitCode != 0) {
        fail(Failure::VenvFailed, lastLine.isEmpty() ? tr("Creating the environment ended with exit code %1").arg(exitCode) : lastLine);
        return;
    }
    succeed();
}

void VenvCreator::venvError(QProcess::ProcessError error)
{
    // Every other error, a crash included, is followed by finished(), which decides.
    if (error != QProcess::FailedToStart)
        return;
    fail(Failure::CannotStart, tr("Could not start %1: %2").arg(mProgram, mProcess->errorString()));
}

void VenvCreator::fail(Failure failure, const QString &reason)
{
    endProcess();
    mFailure = failure;
    mRunning = false;
    logFailure();
    Q_EMIT failed(reason);
}

void VenvCreator::logFailure() const
{
    if (!mCategory)
        return;
    switch (mFailure) {
    case Failure::RemovalFailed:
        qCWarning(mCategory) << "Impossible to remove existing venv:" << mPath;
        break;
    case Failure::NotAnEnvironment:
        qCWarning(mCategory) << "Not a virtual environment, left in place:" << mPath;
        break;
    case Failure::InterpreterMissing:
    case Failure::CannotStart:
        qCWarning(mCategory) << "Unable to start" << mPython;
        break;
    case Failure::VenvFailed:
    case Failure::Crashed:
    case Failure::None:
        qCWarning(mCategory) << "Unable to create venv" << mPath << mErrorOutput;
        break;
    }
}

void VenvCreator::succeed()
{
    endProcess();
    mRunning = false;
    Q_EMIT created();
}

void VenvCreator::endProcess()
{
    if (!mProcess)
        return;
    mProcess->disconnect(this);
    mProcess->deleteLater();
}
} // namespace HostKit
