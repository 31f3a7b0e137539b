#include "whisperspeechtotextinstalljob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <QDebug>

using namespace Qt::Literals::StringLiterals;

WhisperSpeechToTextInstallJob::WhisperSpeechToTextInstallJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextInstallJob::~WhisperSpeechToTextInstallJob() = default;

QStringList WhisperSpeechToTextInstallJob::modules() const
{
    return mModules;
}

void WhisperSpeechToTextInstallJob::setModules(const QStringList &modules)
{
    mModules = modules;
}

bool WhisperSpeechToTextInstallJob::canStart() const
{
    return !mModules.isEmpty() && !WhisperSpeechToTextUtils::venvPip().isEmpty();
}

void WhisperSpeechToTextInstallJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextInstallJob";
        Q_EMIT installFailed();
        deleteLater();
        return;
    }

    mPendingModules = mModules;
    mProcess = new QProcess(this);
    mProcess->setProcessChannelMode(QProcess::MergedChannels);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &WhisperSpeechToTextInstallJob::slotReadyRead);
    connect(mProcess, &QProcess::finished, this, &WhisperSpeechToTextInstallJob::slotFinished);
    connect(mProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // Every other error is followed by finished(), which decides.
        if (error == QProcess::FailedToStart)
            failed("Unable to start "_L1 + mProcess->program());
    });
    installNextModule();
}

void WhisperSpeechToTextInstallJob::installNextModule()
{
    if (mPendingModules.isEmpty()) {
        Q_EMIT installDone();
        deleteLater();
        return;
    }
    const QString module = mPendingModules.takeFirst();
    mProcess->start(WhisperSpeechToTextUtils::venvPip(), {u"install"_s, module});
}

void WhisperSpeechToTextInstallJob::slotReadyRead()
{
    const QString text = mDecoder.decode(mProcess->readAllStandardOutput());
    // A chunk that ends inside a character may hold nothing whole yet; its bytes come out
    // with the next chunk.
    if (!text.isEmpty())
        Q_EMIT installMessage(text);
}

void WhisperSpeechToTextInstallJob::slotFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    flushDecoder();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        installNextModule();
        return;
    }
    failed("Unable to install module. Exit code: "_L1 + QString::number(exitCode));
}

void WhisperSpeechToTextInstallJob::flushDecoder()
{
    // A pip that ended inside a character leaves its bytes in the decoder, where they would
    // glue onto the next pip's output; they are no text, so they are dropped.
    mDecoder.resetState();
}

void WhisperSpeechToTextInstallJob::failed(const QString &message)
{
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << message;
    Q_EMIT installMessage(message);
    Q_EMIT installFailed();
    deleteLater();
}
