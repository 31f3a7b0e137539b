#include "texttospeechkokoroinstallpythonevenvjob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokoroutils.h"

#include <folderremover.h>

#include <QDebug>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
TextToSpeechKokoroInstallPythonEvenvJob::TextToSpeechKokoroInstallPythonEvenvJob(QObject *parent)
    : QObject(parent)
{
}

TextToSpeechKokoroInstallPythonEvenvJob::~TextToSpeechKokoroInstallPythonEvenvJob() = default;

bool TextToSpeechKokoroInstallPythonEvenvJob::canStart() const
{
    return !TextToSpeechKokoroUtils::pythonVersionPath().isEmpty() && !TextToSpeechKokoroUtils::defaultVenvPath().isEmpty();
}

void TextToSpeechKokoroInstallPythonEvenvJob::start()
{
    if (!canStart()) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to start TextToSpeechKokoroInstallPythonEvenvJob";
        failed();
        return;
    }

    // The old environment can be several GB: it is removed off this thread.
    const QString path = TextToSpeechKokoroUtils::defaultVenvPath();
    auto remover = new HostKit::FolderRemover(this);
    connect(remover, &HostKit::FolderRemover::finished, this, [this, remover, path](bool removed) {
        remover->deleteLater();
        if (!removed) {
            qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to remove existing venv:" << path;
            failed();
            return;
        }
        createVenv(path);
    });
    remover->remove(path);
}

void TextToSpeechKokoroInstallPythonEvenvJob::createVenv(const QString &path)
{
    auto process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process, path](int exitCode, QProcess::ExitStatus exitStatus) {
        slotFinished(process, path, exitCode, exitStatus);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        slotErrorOccurred(process, error);
    });
    process->start(TextToSpeechKokoroUtils::pythonVersionPath(), {u"-m"_s, u"venv"_s, path});
}

void TextToSpeechKokoroInstallPythonEvenvJob::slotFinished(QProcess *process, const QString &path, int exitCode,
                                                           QProcess::ExitStatus exitStatus)
{
    process->deleteLater();
    // Only the exit decides: venv may well print warnings and still have made the environment.
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Unable to create venv" << path << process->readAllStandardError();
        failed();
        return;
    }
    // pip is not looked for here: the module installation refuses to start without it.
    Q_EMIT installDone();
    deleteLater();
}

void TextToSpeechKokoroInstallPythonEvenvJob::slotErrorOccurred(QProcess *process, QProcess::ProcessError error)
{
    // Every other error, a crash included, is followed by finished(), which decides.
    if (error != QProcess::FailedToStart)
        return;
    qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Unable to start" << process->program();
    process->deleteLater();
    failed();
}

void TextToSpeechKokoroInstallPythonEvenvJob::failed()
{
    Q_EMIT installFailed();
    deleteLater();
}
} // namespace TextEditTextToSpeech
