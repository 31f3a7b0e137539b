#include "dictation.h"

#include "standardstreams.h"

#include <pcmstreamconverter.h>
#include <wavstreamreader.h>
#include <whisperspeechtotextdevice.h>
#include <whisperspeechtotextutils.h>

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int ChunkMs = 20;
// As fast as possible still hands control back to the event loop now and then, so that
// partial text is shown while the audio goes out and the helper's pipe is drained.
constexpr int ChunksPerBurst = 50;
// Frames read from the input at a time.
constexpr qint64 ReadFrames = 4096;
// Audio the helper's pipe may hold before writing waits for it, so that a slow helper does not
// make the whole input pile up in memory.
constexpr qint64 BacklogBytes = 256 * 1024;
// What whisper models take; used when a helper does not say.
constexpr int FallbackSampleRate = 16000;
constexpr int FallbackChannelCount = 1;

void printError(const QString &message)
{
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    std::fprintf(stderr, "%s: %s\n", qUtf8Printable(program), qUtf8Printable(message));
    std::fflush(stderr);
}

// The helper reports missing python modules with the words of the environment check. The
// check result phrases them, so the comparison holds in any language.
bool saysNotInstalled(const QString &message)
{
    WhisperSpeechToTextCheckJob::CheckResult missing;
    missing.missing = QStringList{QString()};
    const QString prefix = missing.errorString();
    return !prefix.isEmpty() && message.startsWith(prefix);
}

QString secondsText(int milliseconds)
{
    return QString::number(milliseconds / 1000.0);
}
} // namespace

Dictation::Dictation(WavStreamReader *audio, const QString &sourceName, const Settings &settings, QObject *parent)
    : QObject(parent)
    , mAudio(audio)
    , mSourceName(sourceName)
    , mSettings(settings)
    , mStatusLine(stderr)
{
    mFeedTimer.setTimerType(Qt::PreciseTimer);
    connect(&mFeedTimer, &QTimer::timeout, this, &Dictation::writeAudio);
    mTimeout.setSingleShot(true);
    connect(&mTimeout, &QTimer::timeout, this, [this] {
        fail(HelperFailed, mTimeoutMessage);
    });
}

Dictation::~Dictation()
{
    // The device waits for its helper to quit when it goes; nothing it reports then is ours.
    if (mDevice)
        mDevice->disconnect(this);
}

void Dictation::start()
{
    auto job = new WhisperSpeechToTextCheckJob(this);
    const bool helperFound = job->canStart();
    connect(job, &WhisperSpeechToTextCheckJob::needToReinstall, this, [this, helperFound] {
        WhisperSpeechToTextCheckJob::CheckResult result;
        result.needReinstall = true;
        QString message = result.errorString();
        if (!helperFound)
            message += u"\n%1 was not found on the search path (PATH)."_s.arg(WhisperSpeechToTextUtils::pythonScript());
        fail(NotInstalled, message);
    });
    connect(job, &WhisperSpeechToTextCheckJob::needToInstallPackages, this, [this](const QStringList &missing) {
        WhisperSpeechToTextCheckJob::CheckResult result;
        result.missing = missing;
        fail(NotInstalled, result.errorString());
    });
    connect(job, &WhisperSpeechToTextCheckJob::packagesInstalled, this, &Dictation::startDictation);
    waitAtMost(u"The whisper environment check did not answer within %1 seconds."_s);
    job->start();
}

void Dictation::startDictation(const WhisperSpeechToTextCheckJob::CheckResult &check)
{
    mTimeout.stop();
    const int sampleRate = check.sampleRate > 0 ? check.sampleRate : FallbackSampleRate;
    const int channelCount = check.channels > 0 ? check.channels : FallbackChannelCount;
    mConverter = std::make_unique<PcmStreamConverter>(mAudio->sampleRate(), mAudio->channelCount(), sampleRate, channelCount);
    mChunkBytes = qMax(1, sampleRate * ChunkMs / 1000) * channelCount * 2;
    if (!startDevice())
        return;

    mDevice->clear();
    mClock.start();
    mFeedTimer.start(mSettings.realtime ? ChunkMs : 0);
    writeAudio();
}

bool Dictation::startDevice()
{
    mDevice = new WhisperSpeechToTextDevice(this);
    connect(mDevice, &WhisperSpeechToTextDevice::partialResult, this, [this](const QString &text) {
        if (!mFinished)
            mStatusLine.show(text);
    });
    connect(mDevice, &WhisperSpeechToTextDevice::result, this, &Dictation::addResult);
    connect(mDevice, &WhisperSpeechToTextDevice::doneListening, this, &Dictation::printResult);
    connect(mDevice, &WhisperSpeechToTextDevice::errorOccurred, this, &Dictation::reportError);

    WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo info;
    info.model = mSettings.model;
    info.language = mSettings.language;
    info.computeType = mSettings.computeType;
    info.device = mSettings.device;
    info.partials = mSettings.partials;
    if (!mDevice->initialize(std::move(info))) {
        fail(HelperFailed, u"The whisper helper could not be started."_s);
        return false;
    }
    connect(mDevice, &QIODevice::bytesWritten, this, &Dictation::resumeWriting);
    return true;
}

void Dictation::writeAudio()
{
    if (mFinished)
        return;
    if (helperBacklogged()) {
        // Real time goes on ticking and catches up; as fast as possible waits for the pipe.
        if (!mSettings.realtime)
            mFeedTimer.stop();
        return;
    }
    qsizetype due = mWritten + ChunksPerBurst * mChunkBytes;
    if (mSettings.realtime)
        due = mClock.elapsed() / ChunkMs * mChunkBytes;
    while (mWritten < due) {
        if (!fillPending())
            return;
        if (mPending.isEmpty())
            break;
        const qsizetype size = qMin(mChunkBytes, mPending.size());
        mDevice->write(mPending.constData(), size);
        mPending.remove(0, size);
        mWritten += size;
    }
    if (mInputDone && mPending.isEmpty())
        finishAudio();
}

// Reads and converts until a whole write is pending or the input has ended.
bool Dictation::fillPending()
{
    while (mPending.size() < mChunkBytes && !mInputDone) {
        const QByteArray block = mAudio->read(ReadFrames * 2 * mAudio->channelCount());
        if (!block.isEmpty()) {
            mPending += mConverter->push(block);
            continue;
        }
        if (mAudio->hasError()) {
            fail(BadUsage, u"%1: %2"_s.arg(mSourceName, mAudio->errorString()));
            return false;
        }
        mInputDone = true;
        mPending += mConverter->finish();
        if (mAudio->endedShort()) {
            mStatusLine.clear();
            printError(u"warning: %1 ended after %2 bytes of samples, but its header announced %3; dictating what is there."_s.arg(
                mSourceName, QString::number(mAudio->bytesRead()), QString::number(mAudio->declaredBytes())));
        }
    }
    return true;
}

bool Dictation::helperBacklogged() const
{
    return mDevice && mDevice->bytesToWrite() > BacklogBytes;
}

void Dictation::resumeWriting()
{
    const bool audioSent = mInputDone && mPending.isEmpty();
    if (mFinished || audioSent || mSettings.realtime || mFeedTimer.isActive() || helperBacklogged())
        return;
    mFeedTimer.start(0);
}

void Dictation::finishAudio()
{
    mFeedTimer.stop();
    mDevice->finish();
    waitAtMost(u"No final text from the whisper helper within %1 seconds."_s);
}

void Dictation::addResult(const QString &text)
{
    mText = mText.isEmpty() ? text : mText + u' ' + text;
}

void Dictation::printResult()
{
    if (mFinished)
        return;
    mStatusLine.clear();
    QString error;
    if (!StandardStreams::write(mText.toUtf8() + '\n', &error)) {
        fail(OutputFailed, u"Cannot write the text to standard output: %1."_s.arg(error));
        return;
    }
    finish(Success);
}

void Dictation::reportError(const QString &message)
{
    fail(saysNotInstalled(message) ? NotInstalled : HelperFailed, message);
}

void Dictation::fail(ExitCode exitCode, const QString &message)
{
    if (mFinished)
        return;
    mStatusLine.clear();
    printError(message);
    if (exitCode == NotInstalled)
        printError(u"Set it up with: earlobe-larynx-setup install whisper"_s);
    finish(exitCode);
}

void Dictation::finish(ExitCode exitCode)
{
    mFinished = true;
    mFeedTimer.stop();
    mTimeout.stop();
    Q_EMIT finished(exitCode);
}

void Dictation::waitAtMost(const QString &message)
{
    mTimeoutMessage = message.arg(secondsText(mSettings.timeoutMs));
    mTimeout.start(mSettings.timeoutMs);
}
