#include "whisperspeechtotextinstallpythonevenvjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

    const QString path = WhisperSpeechToTextUtils::defaultVenvPath();
    if (!removeExistingVenv(path)) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to remove existing venv:" << path;
        failed();
        return;
    }

    auto process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process, path](int exitCode, QProcess::ExitStatus exitStatus) {
        slotFinished(process, path, exitCode, exitStatus);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        slotErrorOccurred(process, error);
    });
    process->start(WhisperSpeechToTextUtils::pythonVersionPath(), {u"-m"_s, u"venv"_s, path});
}

bool WhisperSpeechToTextInstallPythonEvenvJob::removeExistingVenv(const QString &path)
{
    const QFileInfo info(path);
    // A link is removed as a link, dangling or not: removing it recursively would delete
    // whatever the user keeps in the directory it points to.
    if (info.isSymLink())
        return QFile::remove(path);
    if (info.isDir())
        return QDir(path).removeRecursively();
    return true;
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
