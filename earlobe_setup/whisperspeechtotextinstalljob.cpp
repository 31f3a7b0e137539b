#include "whisperspeechtotextinstalljob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <childprocesses.h>

#include <QDebug>
#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace
{
// Enough of pip's output to hold its closing error lines, even after a long build log.
constexpr qsizetype KeptOutputChars = 64 * 1024;

// pip names the requirement it gave up on in its closing error lines; the last such line wins.
QString failedRequirement(const QString &output)
{
    static const QRegularExpression pattern(
        uR"(^(?:ERROR: )?(?:No matching distribution found for|Failed building wheel for|Failed to build|Could not build wheels for) ([A-Za-z0-9][A-Za-z0-9._-]*))"_s,
        QRegularExpression::MultilineOption);
    QString name;
    for (auto it = pattern.globalMatch(output); it.hasNext();)
        name = it.next().captured(1);
    return name;
}

// Distribution names compare with case, dots, dashes and underscores folded, as pip does.
QString normalizedName(const QString &name)
{
    static const QRegularExpression separators(u"[-_.]+"_s);
    return name.toLower().replace(separators, u"-"_s);
}
} // namespace

WhisperSpeechToTextInstallJob::WhisperSpeechToTextInstallJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextInstallJob::~WhisperSpeechToTextInstallJob()
{
    HostKit::endChildProcesses(this);
}

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
    mCurrentModule = mPendingModules.takeFirst();
    mModuleOutput.clear();
    mProcess->start(WhisperSpeechToTextUtils::venvPip(), {u"install"_s, mCurrentModule});
}

void WhisperSpeechToTextInstallJob::slotReadyRead()
{
    const QString text = mDecoder.decode(mProcess->readAllStandardOutput());
    // A chunk that ends inside a character may hold nothing whole yet; its bytes come out
    // with the next chunk.
    if (text.isEmpty())
        return;
    mModuleOutput += text;
    if (mModuleOutput.size() > KeptOutputChars)
        mModuleOutput.remove(0, mModuleOutput.size() - KeptOutputChars);
    Q_EMIT installMessage(text);
}

void WhisperSpeechToTextInstallJob::slotFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    flushDecoder();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        installNextModule();
        return;
    }
    // A line of its own: pip's output may have stopped in the middle of one, and a reader of the
    // message stream (a terminal) joins what it is given.
    Q_EMIT installMessage(u'\n' + failedModuleMessage() + u'\n');
    failed("Unable to install module. Exit code: "_L1 + QString::number(exitCode));
}

void WhisperSpeechToTextInstallJob::flushDecoder()
{
    // A pip that ended inside a character leaves its bytes in the decoder, where they would
    // glue onto the next pip's output; they are no text, so they are dropped.
    mDecoder.resetState();
}

QString WhisperSpeechToTextInstallJob::failedModuleMessage() const
{
    const QString requirement = failedRequirement(mModuleOutput);
    if (requirement.isEmpty() || normalizedName(requirement) == normalizedName(mCurrentModule))
        return "Unable to install "_L1 + mCurrentModule + u'.';
    return "Unable to install "_L1 + mCurrentModule + ": pip failed on "_L1 + requirement + ", which it needs."_L1;
}

void WhisperSpeechToTextInstallJob::failed(const QString &message)
{
    qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << message;
    Q_EMIT installMessage(message);
    Q_EMIT installFailed();
    deleteLater();
}
