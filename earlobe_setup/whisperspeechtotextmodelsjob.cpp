#include "whisperspeechtotextmodelsjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <QDebug>
#include <QDebugStateSaver>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int KillTimeoutMs = 1000;

// Registered when the library is loaded, so that the types can be found by name before any job
// exists; the list type also gets Qt's sequential-container conversions this way.
const int modelInfoMetaTypeId = qRegisterMetaType<WhisperSpeechToTextModelsJob::ModelInfo>();
const int modelInfosMetaTypeId = qRegisterMetaType<WhisperSpeechToTextModelsJob::ModelInfos>();
const int modelInfosAliasMetaTypeId =
    qRegisterMetaType<WhisperSpeechToTextModelsJob::ModelInfos>("WhisperSpeechToTextModelsJob::ModelInfos");

// The environment's interpreter when there is one; the catalogue needs no whisper module, so the
// system interpreter will do before the environment exists.
QString interpreter()
{
    const QString python = WhisperSpeechToTextUtils::venvPython();
    return python.isEmpty() ? WhisperSpeechToTextUtils::pythonVersionPath() : python;
}

QStringList modelsArguments(const QString &script)
{
    return {script, u"models"_s};
}
} // namespace

bool WhisperSpeechToTextModelsJob::ModelInfo::isValid() const
{
    return !identifier.isEmpty();
}

bool WhisperSpeechToTextModelsJob::ModelInfo::operator==(const ModelInfo &other) const
{
    return identifier == other.identifier && name == other.name && sizeMib == other.sizeMib && multilingual == other.multilingual
        && isDefault == other.isDefault;
}

WhisperSpeechToTextModelsJob::WhisperSpeechToTextModelsJob(QObject *parent)
    : QObject(parent)
{
    Q_UNUSED(modelInfoMetaTypeId)
    Q_UNUSED(modelInfosMetaTypeId)
    Q_UNUSED(modelInfosAliasMetaTypeId)
}

WhisperSpeechToTextModelsJob::~WhisperSpeechToTextModelsJob()
{
    if (!mProcess || mProcess->state() == QProcess::NotRunning)
        return;
    // Nothing the process still reports may reach a job that is going away.
    mProcess->disconnect(this);
    mProcess->kill();
    mProcess->waitForFinished(KillTimeoutMs);
}

bool WhisperSpeechToTextModelsJob::canStart() const
{
    return !WhisperSpeechToTextUtils::pythonScriptPath().isEmpty() && !interpreter().isEmpty();
}

void WhisperSpeechToTextModelsJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextModelsJob";
        Q_EMIT modelsFailed();
        deleteLater();
        return;
    }

    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::finished, this, &WhisperSpeechToTextModelsJob::handleFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &WhisperSpeechToTextModelsJob::handleError);
    mProcess->start(interpreter(), modelsArguments(WhisperSpeechToTextUtils::pythonScriptPath()), QIODevice::ReadWrite);
}

void WhisperSpeechToTextModelsJob::handleFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // The job answers once, whatever the process reports after this.
    mProcess->disconnect(this);
    mProcess->deleteLater();
    const ModelInfos models = parseModels(mProcess->readAllStandardOutput());
    if (exitCode == 0 && exitStatus == QProcess::NormalExit && !models.isEmpty()) {
        Q_EMIT modelsLoaded(models);
    } else {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG)
            << "whisper models listing failed. Exit code:" << exitCode << mProcess->readAllStandardError();
        Q_EMIT modelsFailed();
    }
    deleteLater();
}

void WhisperSpeechToTextModelsJob::handleError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    mProcess->disconnect(this);
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to start" << mProcess->program() << mProcess->errorString();
    mProcess->deleteLater();
    Q_EMIT modelsFailed();
    deleteLater();
}

WhisperSpeechToTextModelsJob::ModelInfos WhisperSpeechToTextModelsJob::modelsSynchronously(int timeout)
{
    const QString script = WhisperSpeechToTextUtils::pythonScriptPath();
    const QString python = interpreter();
    if (script.isEmpty() || python.isEmpty()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to find" << WhisperSpeechToTextUtils::pythonScript();
        return {};
    }

    QProcess process;
    process.start(python, modelsArguments(script), QIODevice::ReadWrite);
    if (!process.waitForFinished(timeout)) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper models listing did not answer:" << process.errorString();
        // Stopped here rather than by the destructor, which would complain about a running process.
        process.kill();
        process.waitForFinished(KillTimeoutMs);
        return {};
    }
    return parseModels(process.readAllStandardOutput());
}

WhisperSpeechToTextModelsJob::ModelInfos WhisperSpeechToTextModelsJob::parseModels(const QByteArray &data)
{
    const QJsonArray entries = QJsonDocument::fromJson(data).object().value("models"_L1).toArray();
    ModelInfos models;
    models.reserve(entries.size());
    for (const QJsonValue &entry : entries) {
        const QJsonObject object = entry.toObject();
        ModelInfo info;
        info.identifier = object.value("id"_L1).toString();
        if (info.identifier.isEmpty())
            continue;
        info.name = object.value("name"_L1).toString();
        if (info.name.isEmpty())
            info.name = info.identifier;
        info.sizeMib = object.value("sizeMib"_L1).toInt();
        info.multilingual = object.value("multilingual"_L1).toBool();
        info.isDefault = object.value("default"_L1).toBool();
        models.append(info);
    }
    return models;
}

QString WhisperSpeechToTextModelsJob::defaultModel(const ModelInfos &models)
{
    for (const ModelInfo &info : models) {
        if (info.isDefault)
            return info.identifier;
    }
    return {};
}

QDebug operator<<(QDebug d, const WhisperSpeechToTextModelsJob::ModelInfo &info)
{
    // Blanks written by hand: space() would also put one in front, doubling the caller's.
    const QDebugStateSaver saver(d);
    d.nospace() << "identifier " << info.identifier << " name " << info.name << " sizeMib " << info.sizeMib << " multilingual "
                << info.multilingual << " isDefault " << info.isDefault;
    return d;
}
