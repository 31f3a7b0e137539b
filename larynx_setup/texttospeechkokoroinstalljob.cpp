#include "texttospeechkokoroinstalljob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokoroutils.h"

#include <childprocesses.h>

#include <QDebug>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
// The default index serves torch with its CUDA libraries, gigabytes the engine never uses.
constexpr auto torchCpuIndexUrl = "https://download.pytorch.org/whl/cpu"_L1;
constexpr auto torchModule = "torch"_L1;
// Reported missing by the environment check, but a system program that pip cannot install.
constexpr auto espeakModule = "espeak-ng"_L1;
} // namespace

TextToSpeechKokoroInstallJob::TextToSpeechKokoroInstallJob(QObject *parent)
    : QObject(parent)
{
}

TextToSpeechKokoroInstallJob::~TextToSpeechKokoroInstallJob()
{
    HostKit::endChildProcesses(this);
}

QStringList TextToSpeechKokoroInstallJob::modules() const
{
    return mModules;
}

void TextToSpeechKokoroInstallJob::setModules(const QStringList &modules)
{
    mModules = modules;
}

bool TextToSpeechKokoroInstallJob::canStart() const
{
    return !mModules.isEmpty() && !TextToSpeechKokoroUtils::venvPip().isEmpty();
}

void TextToSpeechKokoroInstallJob::start()
{
    if (!canStart()) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to start TextToSpeechKokoroInstallJob";
        Q_EMIT installFailed();
        deleteLater();
        return;
    }

    mPendingModules.clear();
    for (const QString &module : std::as_const(mModules)) {
        // torch first: kokoro depends on it, and pip would otherwise pull it in from the
        // default index.
        if (module == torchModule)
            mPendingModules.prepend(module);
        else if (module != espeakModule)
            mPendingModules.append(module);
    }

    mProcess = new QProcess(this);
    mProcess->setProcessChannelMode(QProcess::MergedChannels);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &TextToSpeechKokoroInstallJob::slotReadyRead);
    connect(mProcess, &QProcess::finished, this, &TextToSpeechKokoroInstallJob::slotFinished);
    connect(mProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // Every other error is followed by finished(), which decides.
        if (error == QProcess::FailedToStart)
            failed("Unable to start "_L1 + mProcess->program());
    });
    installNextModule();
}

void TextToSpeechKokoroInstallJob::installNextModule()
{
    if (mPendingModules.isEmpty()) {
        Q_EMIT installDone();
        deleteLater();
        return;
    }
    mCurrentModule = mPendingModules.takeFirst();
    QStringList arguments{u"install"_s};
    if (mCurrentModule == torchModule)
        arguments << u"--index-url"_s << torchCpuIndexUrl;
    arguments << mCurrentModule;
    mProcess->start(TextToSpeechKokoroUtils::venvPip(), arguments);
}

void TextToSpeechKokoroInstallJob::slotReadyRead()
{
    const QString text = mDecoder.decode(mProcess->readAllStandardOutput());
    // A chunk that ends inside a character may hold nothing whole yet; its bytes come out
    // with the next chunk.
    if (!text.isEmpty())
        Q_EMIT installMessage(text);
}

void TextToSpeechKokoroInstallJob::slotFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // A pip that ended inside a character leaves its bytes in the decoder, where they would
    // glue onto the next pip's output; they are no text, so they are dropped.
    mDecoder.resetState();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        installNextModule();
        return;
    }
    // pip's own last words seldom name the module it was asked for; the user needs that name
    // to know what to fetch by hand.
    // A line of its own: pip's output may have stopped in the middle of one, and a reader of the
    // message stream (a terminal) joins what it is given.
    Q_EMIT installMessage(u'\n' + "Unable to install "_L1 + mCurrentModule + u'.' + u'\n');
    failed("Unable to install module. Exit code: "_L1 + QString::number(exitCode));
}

void TextToSpeechKokoroInstallJob::failed(const QString &message)
{
    qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << message;
    Q_EMIT installMessage(message);
    Q_EMIT installFailed();
    deleteLater();
}
} // namespace TextEditTextToSpeech
