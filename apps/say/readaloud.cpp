#include "readaloud.h"

#include <texttospeechkokorocheckjob.h>
#include <wavfile.h>

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
// Only asked after a failure; the real check imports torch, which takes a while.
constexpr int CheckTimeoutMs = 60000;

void printError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(QCoreApplication::applicationName()), qUtf8Printable(message));
    std::fflush(stderr);
}
} // namespace

ReadAloud::ReadAloud(const QString &text, const Settings &settings, QObject *parent)
    : QObject(parent)
    , mText(text)
    , mSettings(settings)
    , mEngine(new TextToSpeechKokoro(this))
    , mSubtitles(text)
{
    if (!mSettings.voice.isEmpty())
        mEngine->setVoiceIdentifier(mSettings.voice);
    mEngine->setRate(mSettings.rate);
    mEngine->setVolume(mSettings.volume);
    connect(mEngine, &TextToSpeechKokoro::stateChanged, this, &ReadAloud::handleStateChanged);
    connect(mEngine, &TextToSpeechKokoro::errorOccurred, this, &ReadAloud::handleError);
    connect(mEngine, &TextToSpeechKokoro::synthesized, this, &ReadAloud::collect);
    // While playing, the marks are the only sign that the speech goes on.
    connect(mEngine, &TextToSpeechKokoro::sayingSentence, this, &ReadAloud::heardFromHelper);
    connect(mEngine, &TextToSpeechKokoro::sayingWord, this, &ReadAloud::heardFromHelper);
    if (!mSettings.subtitlesPath.isEmpty()) {
        connect(mEngine, &TextToSpeechKokoro::sayingSentence, this, &ReadAloud::addSentence);
        connect(mEngine, &TextToSpeechKokoro::sayingWord, this, [this](const QString &, qsizetype start, qsizetype length) {
            addWord(start, length);
        });
    }

    mTimeout.setSingleShot(true);
    connect(&mTimeout, &QTimer::timeout, this, [this] {
        fail(HelperFailed, u"The kokoro helper did not answer within %1 seconds."_s.arg(QString::number(mSettings.timeoutMs / 1000.0)));
    });
}

ReadAloud::~ReadAloud()
{
    // The engine waits for its helper to quit when it goes; nothing it reports then is ours.
    mEngine->disconnect(this);
}

void ReadAloud::start()
{
    heardFromHelper();
    if (mSettings.outputPath.isEmpty())
        mEngine->say(mText);
    else
        mEngine->synthesize(mText);
}

// The time limit is on the helper's silence, not on the speech: a long text read aloud takes
// as long as it takes, while each piece of it comes within moments.
void ReadAloud::heardFromHelper()
{
    if (mSettings.timeoutMs > 0 && !mFinished)
        mTimeout.start(mSettings.timeoutMs);
}

void ReadAloud::handleStateChanged(TextToSpeechState state)
{
    if (mFinished)
        return;
    heardFromHelper();
    if (state == TextToSpeechState::Speaking || state == TextToSpeechState::Synthesizing) {
        mStarted = true;
        return;
    }
    if (state != TextToSpeechState::Ready || !mStarted)
        return;
    if (mSettings.outputPath.isEmpty()) {
        if (writeSubtitles())
            finish(Success);
    } else {
        writeOutput();
    }
}

void ReadAloud::handleError(QTextToSpeech::ErrorReason reason, const QString &message)
{
    if (mFinished)
        return;
    if (reason == QTextToSpeech::ErrorReason::Initialization) {
        fail(NotInstalled, message);
        return;
    }
    if (reason != QTextToSpeech::ErrorReason::Input) {
        fail(HelperFailed, message);
        return;
    }
    // A helper without its python packages fails every text; the environment check tells that
    // apart from a text it could not speak.
    const TextToSpeechKokoroCheckJob::CheckResult check = TextToSpeechKokoroCheckJob::checkSynchronously(CheckTimeoutMs);
    if (check.isValid()) {
        fail(HelperFailed, message);
        return;
    }
    const QString checkMessage = check.errorString();
    fail(NotInstalled, message.contains(checkMessage) ? message : message + u'\n' + checkMessage);
}

void ReadAloud::collect(const QAudioFormat &format, const QByteArray &data)
{
    if (mFinished)
        return;
    if (mAudio.isEmpty() && !mFormat.isValid())
        mFormat = format;
    if (format != mFormat) {
        // One WAV file has one format; mixing them would turn the rest into noise.
        fail(HelperFailed, u"The helper changed the audio format in the middle of the text."_s);
        mEngine->stop();
        return;
    }
    heardFromHelper();
    mAudio.append(data);
}

void ReadAloud::addSentence(qsizetype start, qsizetype length)
{
    if (mSettings.outputPath.isEmpty() && !mPlayClock.isValid())
        mPlayClock.start();
    mSubtitles.addSentence(start, length, markTime());
}

void ReadAloud::addWord(qsizetype start, qsizetype length)
{
    mSubtitles.addWord(start, length, markTime());
}

// Saved speech is timed exactly by the audio before the mark, in bytes; played speech by the
// clock, in milliseconds.
qint64 ReadAloud::markTime() const
{
    if (!mSettings.outputPath.isEmpty())
        return mAudio.size();
    return mPlayClock.isValid() ? mPlayClock.elapsed() : 0;
}

bool ReadAloud::writeSubtitles()
{
    if (mSettings.subtitlesPath.isEmpty())
        return true;
    const bool saved = !mSettings.outputPath.isEmpty();
    const qint64 ticksPerSecond = saved ? qint64(mFormat.bytesPerFrame()) * mFormat.sampleRate() : 1000;
    QString error;
    if (!mSubtitles.write(mSettings.subtitlesPath, markTime(), ticksPerSecond, &error)) {
        fail(HelperFailed, error);
        return false;
    }
    return true;
}

void ReadAloud::writeOutput()
{
    if (!mFormat.isValid()) {
        fail(HelperFailed, u"The helper sent no audio."_s);
        return;
    }
    QString error;
    if (!WavFile::write(mSettings.outputPath, mFormat, mAudio, &error)) {
        fail(HelperFailed, error);
        return;
    }
    if (writeSubtitles())
        finish(Success);
}

void ReadAloud::fail(ExitCode exitCode, const QString &message)
{
    if (mFinished)
        return;
    printError(message);
    if (exitCode == NotInstalled)
        printError(u"Set it up with: earlobe-larynx-setup install kokoro"_s);
    finish(exitCode);
}

void ReadAloud::finish(ExitCode exitCode)
{
    if (mFinished)
        return;
    mFinished = true;
    mTimeout.stop();
    Q_EMIT finished(exitCode);
}
