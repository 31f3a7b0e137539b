#include "whisperspeechtotextinstallpythonevenvjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <folderremover.h>

#include <QDebug>

using namespace Qt::Literals::StringLiterals;

WhisperSpeechToTextInstallPythonEvenvJob::WhisperSpeechToTextInstallPythonEvenvJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextInstallPythonEvenvJob::~WhisperSpeechToTextInstallPythonEvenvJob() = default;

bool WhisperSpeechToTextInstallPythonEvenvJob::canStart() const
{
    return !WhisperSpeechToTextUtils::pythonVersionPath().isEmpty() && !WhisperSpeechToTextUtils::defaultVenvPath().isEmpty();
}

void WhisperSpeechToTextInstallPythonEvenvJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextInstallPythonEvenvJob";
        failed();
        return;
    }

    // The old environment can be several GB: it is removed off this thread.
    const QString path = WhisperSpeechToTextUtils::defaultVenvPath();
    auto remover = new HostKit::FolderRemover(this);
    connect(remover, &HostKit::FolderRemover::finished, this, [this, remover, path](bool removed) {
        remover->deleteLater();
        if (!removed) {
            qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to remove existing venv:" << path;
            failed();
            return;
        }
        createVenv(path);
    });
    remover->remove(path);
}

void WhisperSpeechToTextInstallPythonEvenvJob::createVenv(const QString &path)
{
    auto process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process, path](int exitCode, QProcess::ExitStatus exitStatus) {
        slotFinished(process, path, exitCode, exitStatus);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        slotErrorOccurred(process, error);
    });
    process->start(WhisperSpeechToTextUtils::pythonVersionPath(), {u"-m"_s, u"venv"_s, path});
}

void WhisperSpeechToTextInstallPythonEvenvJob::slotFinished(QProcess *process, const QString &path, int exitCode,
                                                            QProcess::ExitStatus exitStatus)
{
    process->deleteLater();
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to create venv" << path << process->readAllStandardError();
        failed();
        return;
    }
    if (WhisperSpeechToTextUtils::venvPip().isEmpty()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Virtualenv created without pip:" << WhisperSpeechToTextUtils::defaultVenvPip();
        failed();
        return;
    }
    Q_EMIT installDone();
    deleteLater();
}

void WhisperSpeechToTextInstallPythonEvenvJob::slotErrorOccurred(QProcess *process, QProcess::ProcessError error)
{
    // Every other error is followed by finished(), which decides.
    if (error != QProcess::FailedToStart)
        return;
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to start" << process->program();
    process->deleteLater();
    failed();
}

void WhisperSpeechToTextInstallPythonEvenvJob::failed()
{
    Q_EMIT installFailed();
    deleteLater();
}
