#include "whisperspeechtotextcachedmodelsjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextdownloadmodeljob.h"
#include "whisperspeechtotextutils.h"

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int KillTimeoutMs = 1000;
}

WhisperSpeechToTextCachedModelsJob::WhisperSpeechToTextCachedModelsJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextCachedModelsJob::~WhisperSpeechToTextCachedModelsJob()
{
    // Destroyed early (the chooser went away): the listing must not go on without anyone
    // listening.
    if (mProcess && mProcess->state() != QProcess::NotRunning) {
        mProcess->disconnect(this);
        mProcess->kill();
        mProcess->waitForFinished(KillTimeoutMs);
    }
}

bool WhisperSpeechToTextCachedModelsJob::canStart() const
{
    // Only the environment's interpreter can see the models cache; the system one would
    // report nothing and make every model look missing.
    return !WhisperSpeechToTextUtils::pythonScriptPath().isEmpty() && !WhisperSpeechToTextUtils::venvPython().isEmpty();
}

void WhisperSpeechToTextCachedModelsJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextCachedModelsJob";
        Q_EMIT cachedModelsFailed();
        deleteLater();
        return;
    }

    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::finished, this, &WhisperSpeechToTextCachedModelsJob::handleFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &WhisperSpeechToTextCachedModelsJob::handleError);
    mProcess->start(WhisperSpeechToTextUtils::venvPython(), {WhisperSpeechToTextUtils::pythonScriptPath(), u"download"_s, u"--all"_s},
                    QIODevice::ReadWrite);
}

QStringList WhisperSpeechToTextCachedModelsJob::parseCachedModels(const QByteArray &data)
{
    QStringList models;
    const QList<QByteArray> lines = data.split('\n');
    for (const QByteArray &line : lines) {
        const WhisperSpeechToTextDownloadModelJob::DownloadEvent event = WhisperSpeechToTextDownloadModelJob::parseEvent(line);
        if (event.type == "cached"_L1 && !event.model.isEmpty())
            models.append(event.model);
    }
    return models;
}

void WhisperSpeechToTextCachedModelsJob::handleFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // The job answers once, whatever the process reports after this.
    mProcess->disconnect(this);
    mProcess->deleteLater();
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        // What a failing helper printed may be only part of the cache; claiming it as the whole
        // would hide models that are on disk.
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper cached models listing failed. Exit code:" << exitCode;
        Q_EMIT cachedModelsFailed();
    } else {
        Q_EMIT cachedModelsLoaded(parseCachedModels(mProcess->readAllStandardOutput()));
    }
    deleteLater();
}

void WhisperSpeechToTextCachedModelsJob::handleError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    mProcess->disconnect(this);
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to start" << mProcess->program() << mProcess->errorString();
    mProcess->deleteLater();
    Q_EMIT cachedModelsFailed();
    deleteLater();
}
