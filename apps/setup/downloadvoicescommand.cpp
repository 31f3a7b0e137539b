#include "downloadvoicescommand.h"
#include "console.h"
#include "feature.h"

#include <texttospeechkokorodownloadvoicejob.h>
#include <texttospeechkokoroutils.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

DownloadVoicesCommand::DownloadVoicesCommand(const QStringList &voices, bool all, QObject *parent)
    : Command(parent)
    , mVoices(voices)
    , mAll(all)
    , mErrorStream(stderr)
    , mProgressBar(&mErrorStream, Console::isTerminal(stderr))
{
    mProgressBar.setLabel(u"voices"_s);
    mProgressBar.setUnit(TerminalProgressBar::Unit::Files);
}

void DownloadVoicesCommand::start()
{
    if (!resolveVoices()) {
        finish(BadUsage);
        return;
    }
    if (reportIfNotInstalled(Feature(Feature::Kind::Kokoro), true)) {
        finish(NotInstalled);
        return;
    }

    Console::out(mAll ? u"Downloading the kokoro model and all %1 voices."_s.arg(mVoices.size())
                      : u"Downloading the kokoro model and the voice(s) %1."_s.arg(mVoices.join(u", "_s)));
    auto job = new TextToSpeechKokoroDownloadVoiceJob(this);
    job->setVoices(mVoices);
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadMessage, this, &DownloadVoicesCommand::printMessage);
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadProgress, this, [this](int index, int total) {
        // An error event without a position carries no progress.
        if (total > 0)
            mProgressBar.setProgress(index, total);
    });
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesDone, this, [this] {
        mProgressBar.finish();
        Console::out(u"Voices downloaded."_s);
        finish(Success);
    });
    connect(job, &TextToSpeechKokoroDownloadVoiceJob::downloadVoicesFailed, this, [this] {
        mProgressBar.finish();
        Console::error(u"Unable to download the voices."_s);
        finish(JobFailed);
    });
    job->start();
}

bool DownloadVoicesCommand::resolveVoices()
{
    QStringList known;
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::All);
    for (const TextToSpeechKokoroUtils::KokoroVoice &voice : voices)
        known.append(voice.identifier);
    if (mAll) {
        mVoices = known;
        return true;
    }

    QStringList unknown;
    for (const QString &voice : std::as_const(mVoices)) {
        if (!known.contains(voice))
            unknown.append(voice);
    }
    if (!unknown.isEmpty()) {
        Console::error(u"Unknown voice(s): %1. List the voices with: %2 voices"_s.arg(unknown.join(u", "_s), programName()));
        return false;
    }
    mVoices.removeDuplicates();
    return true;
}

void DownloadVoicesCommand::printMessage(const QString &message)
{
    // The bar shares the terminal with standard output: it steps aside for the line.
    mProgressBar.clear();
    Console::out(message);
    mProgressBar.redraw();
}
