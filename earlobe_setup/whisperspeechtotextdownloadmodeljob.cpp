#include "whisperspeechtotextdownloadmodeljob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <translation.h>

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int KillTimeoutMs = 1000;
}

bool WhisperSpeechToTextDownloadModelJob::DownloadEvent::isValid() const
{
    return !type.isEmpty();
}

WhisperSpeechToTextDownloadModelJob::WhisperSpeechToTextDownloadModelJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextDownloadModelJob::~WhisperSpeechToTextDownloadModelJob()
{
    // Destroyed early (the panel closed): the download must not go on without anyone
    // listening.
    if (mProcess && mProcess->state() != QProcess::NotRunning) {
        mProcess->disconnect(this);
        mProcess->kill();
        mProcess->waitForFinished(KillTimeoutMs);
    }
}

QString WhisperSpeechToTextDownloadModelJob::model() const
{
    return mModel;
}

void WhisperSpeechToTextDownloadModelJob::setModel(const QString &model)
{
    mModel = model;
}

bool WhisperSpeechToTextDownloadModelJob::wasCached() const
{
    return mWasCached;
}

bool WhisperSpeechToTextDownloadModelJob::canStart() const
{
    return !mModel.isEmpty() && !WhisperSpeechToTextUtils::pythonScriptPath().isEmpty()
        && !WhisperSpeechToTextUtils::venvPython().isEmpty();
}

void WhisperSpeechToTextDownloadModelJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextDownloadModelJob";
        Q_EMIT downloadModelFailed();
        deleteLater();
        return;
    }
    mWasCached = false;
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &WhisperSpeechToTextDownloadModelJob::readOutput);
    connect(mProcess, &QProcess::finished, this, &WhisperSpeechToTextDownloadModelJob::handleFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &WhisperSpeechToTextDownloadModelJob::handleError);
    mProcess->start(WhisperSpeechToTextUtils::venvPython(),
                    {WhisperSpeechToTextUtils::pythonScriptPath(), u"download"_s, u"--model"_s, mModel}, QIODevice::ReadWrite);
}

WhisperSpeechToTextDownloadModelJob::DownloadEvent WhisperSpeechToTextDownloadModelJob::parseEvent(const QByteArray &line)
{
    DownloadEvent event;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    event.type = object.value("type"_L1).toString();
    if (event.type.isEmpty())
        return event;
    event.model = object.value("model"_L1).toString();
    event.message = object.value("message"_L1).toString();
    event.path = object.value("path"_L1).toString();
    event.received = object.value("received"_L1).toInteger(0);
    event.total = object.value("total"_L1).toInteger(0);
    if (object.contains("percent"_L1))
        event.percent = object.value("percent"_L1).toInt(0);
    return event;
}

void WhisperSpeechToTextDownloadModelJob::readOutput()
{
    mBuffer.append(mProcess->readAllStandardOutput());
    qsizetype position = 0;
    for (qsizetype lineFeed = mBuffer.indexOf('\n'); lineFeed >= 0; lineFeed = mBuffer.indexOf('\n', position)) {
        const DownloadEvent event = parseEvent(mBuffer.mid(position, lineFeed - position));
        position = lineFeed + 1;
        if (event.isValid())
            handleEvent(event);
    }
    mBuffer.remove(0, position);
}

void WhisperSpeechToTextDownloadModelJob::handleEvent(const DownloadEvent &event)
{
    if (event.type == "start"_L1) {
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Downloading the %1 model…", event.model));
    } else if (event.type == "progress"_L1) {
        Q_EMIT downloadProgress(event.percent, event.received, event.total);
    } else if (event.type == "finished"_L1) {
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "The %1 model is downloaded.", event.model));
    } else if (event.type == "cached"_L1) {
        mWasCached = true;
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "The %1 model is already downloaded.", event.model));
    } else if (event.type == "error"_L1) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to download" << event.model << event.message;
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to download the %1 model: %2", event.model, event.message));
    }
}

void WhisperSpeechToTextDownloadModelJob::handleFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // Complete lines still unread come first; a last line without its line feed is dropped.
    readOutput();
    mBuffer.clear();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        Q_EMIT downloadModelDone();
    } else {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG).noquote().nospace()
            << "Unable to download model " << mModel << ". Exit code: " << exitCode;
        Q_EMIT downloadModelFailed();
    }
    deleteLater();
}

void WhisperSpeechToTextDownloadModelJob::handleError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG).noquote().nospace() << "Unable to start " << mProcess->program();
    Q_EMIT downloadModelFailed();
    deleteLater();
}
