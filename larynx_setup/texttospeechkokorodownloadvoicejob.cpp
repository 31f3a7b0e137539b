#include "texttospeechkokorodownloadvoicejob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokorodownloadevent.h"
#include "texttospeechkokoroutils.h"

#include <translation.h>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
constexpr int KillTimeoutMs = 1000;
}

TextToSpeechKokoroDownloadVoiceJob::TextToSpeechKokoroDownloadVoiceJob(QObject *parent)
    : QObject(parent)
{
}

TextToSpeechKokoroDownloadVoiceJob::~TextToSpeechKokoroDownloadVoiceJob()
{
    // Destroyed early (the panel closed): the download must not go on without anyone listening.
    if (mProcess && mProcess->state() != QProcess::NotRunning) {
        mProcess->disconnect(this);
        mProcess->kill();
        mProcess->waitForFinished(KillTimeoutMs);
    }
}

void TextToSpeechKokoroDownloadVoiceJob::setVoices(const QStringList &voices)
{
    mVoices = voices;
}

bool TextToSpeechKokoroDownloadVoiceJob::downloadModel() const
{
    return mDownloadModel;
}

void TextToSpeechKokoroDownloadVoiceJob::setDownloadModel(bool downloadModel)
{
    mDownloadModel = downloadModel;
}

bool TextToSpeechKokoroDownloadVoiceJob::canStart() const
{
    return !mVoices.isEmpty() && !TextToSpeechKokoroUtils::pythonScriptPath().isEmpty() && !TextToSpeechKokoroUtils::venvPython().isEmpty();
}

void TextToSpeechKokoroDownloadVoiceJob::start()
{
    if (!canStart()) {
        fail(u"Impossible to start TextToSpeechKokoroDownloadVoiceJob"_s);
        return;
    }
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &TextToSpeechKokoroDownloadVoiceJob::readOutput);
    connect(mProcess, &QProcess::readyReadStandardError, this, [this] {
        mErrorOutput.append(mProcess->readAllStandardError());
    });
    connect(mProcess, &QProcess::finished, this, &TextToSpeechKokoroDownloadVoiceJob::handleFinished);
    connect(mProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail("Unable to start "_L1 + mProcess->program());
    });

    QStringList arguments{TextToSpeechKokoroUtils::pythonScriptPath(), u"download"_s, u"--json"_s};
    if (mDownloadModel)
        arguments.append(u"model"_s);
    arguments += mVoices;
    mProcess->start(TextToSpeechKokoroUtils::venvPython(), arguments, QIODevice::ReadWrite);
}

void TextToSpeechKokoroDownloadVoiceJob::readOutput()
{
    mOutput.append(mProcess->readAllStandardOutput());
    qsizetype position = 0;
    for (qsizetype lineFeed = mOutput.indexOf('\n'); lineFeed >= 0; lineFeed = mOutput.indexOf('\n', position)) {
        handleLine(mOutput.mid(position, lineFeed - position));
        position = lineFeed + 1;
    }
    mOutput.remove(0, position);
}

void TextToSpeechKokoroDownloadVoiceJob::handleLine(const QByteArray &line)
{
    const TextToSpeechKokoroDownloadEvent event = TextToSpeechKokoroDownloadEvent::fromLine(line);
    if (event.kind == TextToSpeechKokoroDownloadEvent::Kind::Ignored)
        return;
    if (event.kind == TextToSpeechKokoroDownloadEvent::Kind::Downloading) {
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Downloading %1…", event.file));
        return;
    }
    Q_EMIT downloadProgress(event.index, event.total);
    if (event.kind == TextToSpeechKokoroDownloadEvent::Kind::Error) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Unable to download" << event.file << event.message;
        mLastEventError = event.message;
        Q_EMIT downloadMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to download %1: %2", event.file, event.message));
    }
}

void TextToSpeechKokoroDownloadVoiceJob::handleFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readOutput();
    mErrorOutput.append(mProcess->readAllStandardError());
    // A last line without its line feed is dropped unread.
    mOutput.clear();
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        Q_EMIT downloadVoicesDone();
        deleteLater();
        return;
    }
    // One readable line for the user's log, not a whole traceback as one paragraph. The
    // messages of "error" events are in the log already.
    QString errorText = TextToSpeechKokoroUtils::lastErrorLine(mErrorOutput);
    if (!errorText.isEmpty())
        Q_EMIT downloadMessage(errorText);
    else
        errorText = mLastEventError;
    fail("Unable to download voices "_L1 + mVoices.join(u' ') + ". Exit code: "_L1 + QString::number(exitCode) + u' ' + errorText);
}

void TextToSpeechKokoroDownloadVoiceJob::fail(const QString &message)
{
    qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG).noquote() << message;
    Q_EMIT downloadVoicesFailed();
    deleteLater();
}
} // namespace TextEditTextToSpeech
