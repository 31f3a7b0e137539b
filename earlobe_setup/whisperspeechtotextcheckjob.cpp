#include "whisperspeechtotextcheckjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <translation.h>

#include <childprocesses.h>

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int KillTimeoutMs = 1000;

const int checkResultMetaTypeId = qRegisterMetaType<WhisperSpeechToTextCheckJob::CheckResult>();

QStringList checkArguments(const QString &script)
{
    return {script, u"check"_s};
}

WhisperSpeechToTextCheckJob::CheckResult reinstallResult()
{
    WhisperSpeechToTextCheckJob::CheckResult result;
    result.needReinstall = true;
    return result;
}
} // namespace

bool WhisperSpeechToTextCheckJob::CheckResult::isValid() const
{
    return !needReinstall && missing.isEmpty();
}

QString WhisperSpeechToTextCheckJob::CheckResult::errorString() const
{
    if (needReinstall)
        return HostKit::i18nd(TRANSLATION_DOMAIN, "Whisper is not usable. Please reinstall it.");
    if (!missing.isEmpty())
        return HostKit::i18nd(TRANSLATION_DOMAIN, "Whisper is not installed. Missing: %1", missing.join(", "_L1));
    return {};
}

WhisperSpeechToTextCheckJob::WhisperSpeechToTextCheckJob(QObject *parent)
    : QObject(parent)
{
    Q_UNUSED(checkResultMetaTypeId)
}

WhisperSpeechToTextCheckJob::~WhisperSpeechToTextCheckJob()
{
    HostKit::endChildProcesses(this);
}

bool WhisperSpeechToTextCheckJob::canStart() const
{
    return !WhisperSpeechToTextUtils::pythonScriptPath().isEmpty();
}

void WhisperSpeechToTextCheckJob::start()
{
    if (!canStart()) {
        Q_EMIT needToReinstall();
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextCheckJob";
        deleteLater();
        return;
    }

    const QString python = WhisperSpeechToTextUtils::venvPython();
    if (python.isEmpty()) {
        Q_EMIT needToInstallPackages(WhisperSpeechToTextUtils::requiredModules());
        deleteLater();
        return;
    }

    auto process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process] {
        // The job answers once, whatever the process reports after this.
        process->disconnect(this);
        process->deleteLater();
        const CheckResult result = parseCheckResult(process->readAllStandardOutput());
        if (result.needReinstall)
            Q_EMIT needToReinstall();
        else if (!result.missing.isEmpty())
            Q_EMIT needToInstallPackages(result.missing);
        else
            Q_EMIT packagesInstalled(result);
        deleteLater();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->disconnect(this);
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to start" << process->program() << process->errorString();
        process->deleteLater();
        Q_EMIT needToReinstall();
        deleteLater();
    });
    process->start(python, checkArguments(WhisperSpeechToTextUtils::pythonScriptPath()), QIODevice::ReadWrite);
}

WhisperSpeechToTextCheckJob::CheckResult WhisperSpeechToTextCheckJob::checkSynchronously(int timeout)
{
    const QString script = WhisperSpeechToTextUtils::pythonScriptPath();
    if (script.isEmpty()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Unable to find" << WhisperSpeechToTextUtils::pythonScript();
        return reinstallResult();
    }

    const QString python = WhisperSpeechToTextUtils::venvPython();
    if (python.isEmpty()) {
        CheckResult result;
        result.missing = WhisperSpeechToTextUtils::requiredModules();
        return result;
    }

    QProcess process;
    process.start(python, checkArguments(script), QIODevice::ReadWrite);
    if (!process.waitForFinished(timeout)) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper check did not answer:" << process.errorString();
        // Stopped here rather than by the destructor, which would complain about a running process.
        process.kill();
        process.waitForFinished(KillTimeoutMs);
        return reinstallResult();
    }
    return parseCheckResult(process.readAllStandardOutput());
}

WhisperSpeechToTextCheckJob::CheckResult WhisperSpeechToTextCheckJob::parseCheckResult(const QByteArray &data)
{
    CheckResult result;
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    if (object.isEmpty()) {
        result.needReinstall = true;
        return result;
    }

    result.python = object.value("python"_L1).toString();
    result.sampleRate = object.value("sampleRate"_L1).toInt();
    result.channels = object.value("channels"_L1).toInt();
    if (object.value("available"_L1).toBool(false))
        return result;

    const QJsonArray missing = object.value("missing"_L1).toArray();
    for (const QJsonValue &value : missing) {
        // Anything but a name (a number, null, a blank string) would reach pip as a module
        // and fail the whole installation.
        const QString name = value.toString().trimmed();
        if (!name.isEmpty())
            result.missing.append(name);
    }
    if (result.missing.isEmpty())
        result.needReinstall = true;
    return result;
}
