#include "texttospeechkokorocheckjob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokorocheckparser.h"
#include "texttospeechkokoroutils.h"

#include <translation.h>

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

TextToSpeechKokoroCheckJob::CheckResult reinstallResult()
{
    TextToSpeechKokoroCheckJob::CheckResult result;
    result.needReinstall = true;
    return result;
}
} // namespace

bool TextToSpeechKokoroCheckJob::CheckResult::isValid() const
{
    return !needReinstall && missing.isEmpty();
}

QString TextToSpeechKokoroCheckJob::CheckResult::errorString() const
{
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

TextToSpeechKokoroCheckJob::~TextToSpeechKokoroCheckJob() = default;

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
        const CheckResult result = TextToSpeechKokoroCheckParser::parse(process->readAllStandardOutput());
        if (result.needReinstall)
            Q_EMIT needToReinstall();
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
        Q_EMIT needToReinstall();
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
        // Stopped here rather than by the destructor, which would complain about a running process.
        process.kill();
        process.waitForFinished(KillTimeoutMs);
        return reinstallResult();
    }
    return TextToSpeechKokoroCheckParser::parse(process.readAllStandardOutput());
}
} // namespace TextEditTextToSpeech
