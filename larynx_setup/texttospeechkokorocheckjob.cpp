#include "texttospeechkokorocheckjob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokorocheckparser.h"
#include "texttospeechkokoroutils.h"

#include <translation.h>

#include <childprocesses.h>

#include <QDebug>
#include <QProcess>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
constexpr int KillTimeoutMs = 1000;

QStringList checkArguments(const QString &script)
{
    return {script, u"check"_s};
}

TextToSpeechKokoroCheckJob::CheckResult reinstallResult(const QString &helperError = {})
{
    TextToSpeechKokoroCheckJob::CheckResult result;
    result.needReinstall = true;
    result.helperError = helperError;
    return result;
}
} // namespace

bool TextToSpeechKokoroCheckJob::CheckResult::isValid() const
{
    return !needReinstall && missing.isEmpty();
}

QString TextToSpeechKokoroCheckJob::CheckResult::errorString() const
{
    if (needReinstall && !helperError.isEmpty())
        return HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro is not usable. Please reinstall it. The check said: %1", helperError);
    if (needReinstall)
        return HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro is not usable. Please reinstall it.");
    if (!missing.isEmpty())
        return HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro is not installed. Missing: %1", missing.join(", "_L1));
    return {};
}

TextToSpeechKokoroCheckJob::TextToSpeechKokoroCheckJob(QObject *parent)
    : QObject(parent)
{
}

TextToSpeechKokoroCheckJob::~TextToSpeechKokoroCheckJob()
{
    HostKit::endChildProcesses(this);
}

bool TextToSpeechKokoroCheckJob::canStart() const
{
    return !TextToSpeechKokoroUtils::pythonScriptPath().isEmpty();
}

void TextToSpeechKokoroCheckJob::start()
{
    if (!canStart()) {
        Q_EMIT needToReinstall();
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to start TextToSpeechKokoroCheckJob";
        deleteLater();
        return;
    }

    auto process = new QProcess(this);
    connect(process, &QProcess::finished, this, [this, process] {
        // The job answers once, whatever the process reports after this.
        process->disconnect(this);
        process->deleteLater();
        const CheckResult result = TextToSpeechKokoroCheckParser::parse(process->readAllStandardOutput(), process->readAllStandardError());
        if (result.needReinstall)
            reportReinstall(result.helperError);
        else if (!result.missing.isEmpty())
            Q_EMIT needToInstallPackages(result.missing);
        else
            Q_EMIT packagesInstalled();
        deleteLater();
    });
    // An interpreter that cannot be run never finishes; without this the caller would wait
    // for a signal that never comes.
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->disconnect(this);
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Unable to start" << process->program() << process->errorString();
        process->deleteLater();
        reportReinstall(process->errorString());
        deleteLater();
    });

    const QString python = TextToSpeechKokoroUtils::venvPython();
    if (python.isEmpty()) {
        // No environment yet: the modules are what to install first; espeak-ng is asked
        // about once there is an interpreter to run the check with.
        Q_EMIT needToInstallPackages(TextToSpeechKokoroUtils::requiredModules());
        deleteLater();
        return;
    }
    process->start(python, checkArguments(TextToSpeechKokoroUtils::pythonScriptPath()), QIODevice::ReadWrite);
}

void TextToSpeechKokoroCheckJob::reportReinstall(const QString &helperError)
{
    if (!helperError.isEmpty())
        Q_EMIT needToReinstallReason(helperError);
    Q_EMIT needToReinstall();
}

TextToSpeechKokoroCheckJob::CheckResult TextToSpeechKokoroCheckJob::checkSynchronously(int timeout)
{
    const QString script = TextToSpeechKokoroUtils::pythonScriptPath();
    if (script.isEmpty()) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Unable to find" << TextToSpeechKokoroUtils::pythonScript();
        return reinstallResult();
    }

    const QString python = TextToSpeechKokoroUtils::venvPython();
    if (python.isEmpty()) {
        CheckResult result;
        result.missing = TextToSpeechKokoroUtils::requiredModules();
        return result;
    }

    QProcess process;
    process.start(python, checkArguments(script), QIODevice::ReadWrite);
    if (!process.waitForFinished(timeout)) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "kokoro check did not answer:" << process.errorString();
        const QString reason = process.errorString();
        // Stopped here rather than by the destructor, which would complain about a running process.
        process.kill();
        process.waitForFinished(KillTimeoutMs);
        const QString helperLine = TextToSpeechKokoroUtils::lastErrorLine(process.readAllStandardError());
        return reinstallResult(helperLine.isEmpty() ? reason : helperLine);
    }
    return TextToSpeechKokoroCheckParser::parse(process.readAllStandardOutput(), process.readAllStandardError());
}
} // namespace TextEditTextToSpeech
