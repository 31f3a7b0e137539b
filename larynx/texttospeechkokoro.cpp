#include "texttospeechkokoro.h"
#include "kokoroframedecoder.h"
#include "kokoromarkqueue.h"
#include "kokoroplaybackposition.h"
#include "texttospeech_kokoro_debug.h"

#include <texttospeechkokoroutils.h>
#include <translation.h>

#include <QAudioSink>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMediaDevices>
#include <QTimer>

#include <limits>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
constexpr int FeedIntervalMs = 20;
// How often the helper hears how far playback has got; it stays a bounded stretch ahead of it.
constexpr int ProgressIntervalMs = 500;
// A finished sink is left to play out its buffer, but never kept longer than this.
constexpr int RetireTimeoutMs = 3000;
constexpr int QuitTimeoutMs = 2000;
constexpr int KillTimeoutMs = 1000;

// The quit line is fixed text, not serialised, so a helper can match it byte for byte.
constexpr char QuitLine[] = "{\"cmd\": \"quit\"}\n";

// rate -1..0..1 maps to speed 0.5..1..2: halving and doubling sound equally far from normal.
double speedForRate(double rate)
{
    return rate >= 0.0 ? 1.0 + rate : 1.0 + rate / 2.0;
}

// pitch -1..1 is sent as semitones: half an octave down or up at most.
constexpr double SemitonesPerPitch = 6.0;

QAudioFormat formatFromHeader(const QJsonObject &header)
{
    QAudioFormat format;
    format.setSampleRate(header.value("sampleRate"_L1).toInt(0));
    format.setChannelCount(qint16(header.value("channels"_L1).toInt(0)));
    format.setSampleFormat(header.value("sampleFormat"_L1).toString() == "float"_L1 ? QAudioFormat::Float : QAudioFormat::Int16);
    return format;
}

void registerMetaTypes()
{
    qRegisterMetaType<TextToSpeechState>();
    qRegisterMetaType<QTextToSpeech::ErrorReason>();
    qRegisterMetaType<QAudioFormat>();
}
} // namespace

TextToSpeechKokoro::TextToSpeechKokoro(QObject *parent)
    : QObject(parent)
    , mVoice(u"af_heart"_s)
    , mDecoder(std::make_unique<KokoroFrameDecoder>())
    , mMarks(std::make_unique<KokoroMarkQueue>())
    , mFeedTimer(new QTimer(this))
    , mPosition(std::make_unique<KokoroPlaybackPosition>())
{
    registerMetaTypes();
    mFeedTimer->setInterval(FeedIntervalMs);
    connect(mFeedTimer, &QTimer::timeout, this, &TextToSpeechKokoro::feedAudio);
}

TextToSpeechKokoro::~TextToSpeechKokoro()
{
    stopAudio();
    stopProcess();
}

void TextToSpeechKokoro::say(const QString &text)
{
    startRequest(text, false);
}

void TextToSpeechKokoro::synthesize(const QString &text)
{
    startRequest(text, true);
}

void TextToSpeechKokoro::stop()
{
    cancelRequest();
    mMarks->clear();
    stopAudio();
    mEndReceived = false;
    if (mState == TextToSpeechState::Speaking || mState == TextToSpeechState::Paused || mState == TextToSpeechState::Synthesizing)
        setState(TextToSpeechState::Ready);
}

double TextToSpeechKokoro::rate() const
{
    return mRate;
}

bool TextToSpeechKokoro::setRate(double rate)
{
    if (!(qAbs(rate) <= 1.0))
        return false;
    mRate = rate;
    return true;
}

double TextToSpeechKokoro::pitch() const
{
    return mPitch;
}

bool TextToSpeechKokoro::setPitch(double pitch)
{
    if (!(qAbs(pitch) <= 1.0))
        return false;
    mPitch = pitch;
    return true;
}

double TextToSpeechKokoro::volume() const
{
    return mVolume;
}

bool TextToSpeechKokoro::setVolume(double volume)
{
    if (!(volume >= 0.0 && volume <= 1.0))
        return false;
    mVolume = volume;
    applySinkVolume();
    return true;
}

QString TextToSpeechKokoro::voiceIdentifier() const
{
    return mVoice;
}

bool TextToSpeechKokoro::setVoiceIdentifier(const QString &voice)
{
    if (TextToSpeechKokoroUtils::languageCode(voice).isEmpty())
        return false;
    mVoice = voice;
    return true;
}

TextToSpeechState TextToSpeechKokoro::state() const
{
    return mState;
}

QTextToSpeech::ErrorReason TextToSpeechKokoro::errorReason() const
{
    return mErrorReason;
}

QString TextToSpeechKokoro::errorString() const
{
    return mErrorString;
}

void TextToSpeechKokoro::startRequest(const QString &text, bool synthesizeOnly)
{
    stop();
    if (text.trimmed().isEmpty())
        return;
    if (!ensureProcess())
        return;

    mSynthesizeOnly = synthesizeOnly;
    mEndReceived = false;
    mReceivedBytes = 0;
    mMarks->reset(text);
    mCurrentId = ++mRequestCounter;
    QJsonObject command{
        {"cmd"_L1, "say"_L1},
        {"id"_L1, mCurrentId},
        {"text"_L1, text},
        {"voice"_L1, mVoice},
        {"speed"_L1, speedForRate(mRate)},
        {"sampleFormat"_L1, "int16"_L1},
    };
    // Without the key the helper does no pitch work at all, as older helpers never heard of it.
    if (mPitch != 0.0)
        command.insert("pitch"_L1, mPitch * SemitonesPerPitch);
    sendCommand(command);
    setState(synthesizeOnly ? TextToSpeechState::Synthesizing : TextToSpeechState::Speaking);
}

bool TextToSpeechKokoro::ensureProcess()
{
    if (mProcess && mProcess->state() != QProcess::NotRunning)
        return true;
    if (mProcess) {
        mProcess->disconnect(this);
        mProcess->deleteLater();
        mProcess = nullptr;
    }

    const QString python = TextToSpeechKokoroUtils::venvPython();
    const QString script = TextToSpeechKokoroUtils::pythonScriptPath();
    if (python.isEmpty() || script.isEmpty()) {
        setError(QTextToSpeech::ErrorReason::Initialization,
                 HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro is not installed. Please install it first."));
        return false;
    }

    mDecoder->reset();
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &TextToSpeechKokoro::readProcessOutput);
    connect(mProcess, &QProcess::readyReadStandardError, this, &TextToSpeechKokoro::readProcessError);
    connect(mProcess, &QProcess::finished, this, &TextToSpeechKokoro::handleProcessFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &TextToSpeechKokoro::handleProcessError);
    mProcess->start(python, {script, u"serve"_s}, QIODevice::ReadWrite);
    return true;
}

void TextToSpeechKokoro::sendCommand(const QJsonObject &command)
{
    if (!mProcess)
        return;
    // QProcess queues what is written while the helper is still starting.
    mProcess->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
}

void TextToSpeechKokoro::cancelRequest()
{
    if (mCurrentId != 0)
        sendCommand({{"cmd"_L1, "cancel"_L1}, {"id"_L1, mCurrentId}});
    mCurrentId = 0;
    mMarks->clear();
}

void TextToSpeechKokoro::readProcessOutput()
{
    const QList<KokoroFrameDecoder::Frame> frames = mDecoder->decode(mProcess->readAllStandardOutput());
    for (const KokoroFrameDecoder::Frame &frame : frames)
        handleFrame(frame.header, frame.payload);
}

void TextToSpeechKokoro::readProcessError()
{
    const QByteArray text = mProcess->readAllStandardError().trimmed();
    qCDebug(TEXTTOSPEECH_KOKORO_LOG) << "kokoro:" << QString::fromUtf8(text);
}

void TextToSpeechKokoro::handleProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    // No reply can come from a helper that never ran; a later stop() must not "cancel" into it.
    mCurrentId = 0;
    setError(QTextToSpeech::ErrorReason::Initialization, HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to start the Kokoro backend."));
}

void TextToSpeechKokoro::handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    stopAudio();
    mCurrentId = 0;
    mMarks->clear();
    mProcess->disconnect(this);
    mProcess->deleteLater();
    mProcess = nullptr;
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        setError(QTextToSpeech::ErrorReason::Playback, HostKit::i18nd(TRANSLATION_DOMAIN, "The Kokoro backend stopped unexpectedly."));
        return;
    }
    if (mState == TextToSpeechState::Speaking || mState == TextToSpeechState::Paused || mState == TextToSpeechState::Synthesizing)
        setState(TextToSpeechState::Ready);
}

void TextToSpeechKokoro::handleFrame(const QJsonObject &header, const QByteArray &payload)
{
    const QString type = header.value("type"_L1).toString();
    if (type == "error"_L1 && !header.contains("id"_L1)) {
        qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Kokoro error:" << header;
        setError(QTextToSpeech::ErrorReason::Input, header.value("message"_L1).toString());
        return;
    }
    if (type == "ready"_L1) {
        qCDebug(TEXTTOSPEECH_KOKORO_LOG) << "Kokoro backend ready:" << header;
        return;
    }
    if (mCurrentId == 0 || header.value("id"_L1).toInteger(0) != mCurrentId)
        return;

    if (type == "end"_L1) {
        handleEnd();
    } else if (type == "chunk"_L1) {
        appendAudio(payload);
    } else if (type == "mark"_L1) {
        handleMark(header);
    } else if (type == "format"_L1) {
        applyFormat(header);
    } else if (type == "error"_L1) {
        const QString message = header.value("message"_L1).toString();
        qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Kokoro synthesis failed:" << message;
        mCurrentId = 0;
        mMarks->clear();
        stopAudio();
        setError(QTextToSpeech::ErrorReason::Input,
                 HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro was unable to synthesize the text: %1", message));
    } else {
        qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Unknown frame type:" << type;
    }
}

void TextToSpeechKokoro::applyFormat(const QJsonObject &header)
{
    const QAudioFormat format = formatFromHeader(header);
    if (format.sampleRate() > 0 && format.channelCount() > 0) {
        mFormat = format;
        if (!mSynthesizeOnly)
            openAudioSink(mFormat);
        return;
    }
    cancelRequest();
    stopAudio();
    setError(QTextToSpeech::ErrorReason::Playback, HostKit::i18nd(TRANSLATION_DOMAIN, "Kokoro reported an unusable audio format."));
}

void TextToSpeechKokoro::handleMark(const QJsonObject &header)
{
    if (!mMarks->append(header))
        qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Malformed mark:" << header;
}

void TextToSpeechKokoro::handleEnd()
{
    mEndReceived = true;
    if (!mSynthesizeOnly && mAudioSink) {
        padAudioEnd();
        feedAudio();
        return;
    }
    // Marks at the very end of the stream still belong to the synthesized text.
    if (mSynthesizeOnly && !emitMarksBefore(std::numeric_limits<qint64>::max()))
        return;
    stopAudio();
    mCurrentId = 0;
    mMarks->clear();
    if (mState != TextToSpeechState::Ready)
        setState(TextToSpeechState::Ready);
}

// Emits the marks whose sound begins before `sample`. False when a receiver ended or replaced
// the request, in which case nothing more may be done for it.
bool TextToSpeechKokoro::emitMarksBefore(qint64 sample)
{
    while (mMarks->nextIsBefore(sample)) {
        if (!emitNextMark())
            return false;
    }
    return true;
}

// Emits the next mark; false when a receiver ended or replaced the request.
bool TextToSpeechKokoro::emitNextMark()
{
    const qint32 id = mCurrentId;
    const KokoroMarkQueue::Mark mark = mMarks->takeNext();
    if (mark.word)
        Q_EMIT sayingWord(mMarks->textOf(mark), mark.start, mark.length);
    else
        Q_EMIT sayingSentence(mark.start, mark.length);
    return mCurrentId == id;
}

void TextToSpeechKokoro::setState(TextToSpeechState state)
{
    if (mState == state)
        return;
    if (state != TextToSpeechState::Error) {
        mErrorReason = QTextToSpeech::ErrorReason::NoError;
        mErrorString.clear();
    }
    mState = state;
    Q_EMIT stateChanged(state);
}

void TextToSpeechKokoro::setError(QTextToSpeech::ErrorReason reason, const QString &text)
{
    mErrorReason = reason;
    mErrorString = text;
    if (mState != TextToSpeechState::Error) {
        mState = TextToSpeechState::Error;
        Q_EMIT stateChanged(mState);
    }
    Q_EMIT errorOccurred(reason, text);
}

void TextToSpeechKokoro::stopProcess()
{
    if (!mProcess)
        return;
    mProcess->disconnect(this);
    if (mProcess->state() == QProcess::NotRunning)
        return;
    mProcess->write(QuitLine, sizeof(QuitLine) - 1);
    mProcess->closeWriteChannel();
    if (!mProcess->waitForFinished(QuitTimeoutMs)) {
        mProcess->kill();
        mProcess->waitForFinished(KillTimeoutMs);
    }
}

void TextToSpeechKokoro::stopAudio()
{
    mFeedTimer->stop();
    mPendingAudio.clear();
    mPlayOffset = 0;
    if (!mAudioSink)
        return;
    // Disconnected first, so that stopping it is not taken for a failure of the device.
    mAudioSink->disconnect(this);
    mAudioSink->stop();
    mAudioSink->deleteLater();
    mAudioSink = nullptr;
    mAudioDevice = nullptr;
}

void TextToSpeechKokoro::openAudioSink(const QAudioFormat &format)
{
    stopAudio();
    // Audio that came before is dropped with the old sink; the new stream starts after it.
    mPosition->restart(format, receivedFrames());
    mEndPadded = false;
    mAudioSink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
    applySinkVolume();
    mAudioDevice = mAudioSink->start();
    if (mAudioDevice) {
        connect(mAudioSink, &QAudioSink::stateChanged, this, &TextToSpeechKokoro::handleSinkStateChanged);
        reportProgress(mPosition->baseFrame());
        if (mState == TextToSpeechState::Paused)
            suspendAudioSink();
        else
            mFeedTimer->start();
        return;
    }
    cancelRequest();
    stopAudio();
    setError(QTextToSpeech::ErrorReason::Playback, HostKit::i18nd(TRANSLATION_DOMAIN, "Unable to open the audio device."));
}

void TextToSpeechKokoro::appendAudio(const QByteArray &data)
{
    if (mSynthesizeOnly) {
        handOutAudio(data);
        return;
    }
    mReceivedBytes += data.size();
    if (mPendingAudio.isEmpty()) {
        mPendingAudio = data;
        mPlayOffset = 0;
    } else {
        // Compacted only once more than half is written, so that a long stream of chunks
        // does not shift the queue on every append.
        if (mPlayOffset > mPendingAudio.size() / 2) {
            mPendingAudio.remove(0, mPlayOffset);
            mPlayOffset = 0;
        }
        mPendingAudio.append(data);
    }
    writeAudio();
}

// Hands the audio of a synthesize() request to the caller, cut where a mark's sound begins, so
// that every mark comes just before the data that starts with its sample.
void TextToSpeechKokoro::handOutAudio(const QByteArray &data)
{
    const qint32 id = mCurrentId;
    const int frameBytes = mFormat.bytesPerFrame();
    const qint64 firstFrame = receivedFrames();
    mReceivedBytes += data.size();
    qsizetype offset = 0;
    while (frameBytes > 0 && mMarks->nextIsBefore(receivedFrames())) {
        const qsizetype cut = qBound(offset, qsizetype((mMarks->nextSample() - firstFrame) * frameBytes), data.size());
        if (cut > offset) {
            Q_EMIT synthesized(mFormat, data.mid(offset, cut - offset));
            if (mCurrentId != id)
                return;
            offset = cut;
        }
        if (!emitNextMark())
            return;
    }
    if (offset < data.size() || data.isEmpty())
        Q_EMIT synthesized(mFormat, offset == 0 ? data : data.mid(offset));
}

void TextToSpeechKokoro::feedAudio()
{
    writeAudio();
    if (!mAudioSink || mState == TextToSpeechState::Paused)
        return;
    const qint64 played = playedFrames();
    if (!mProgressClock.isValid() || mProgressClock.elapsed() >= ProgressIntervalMs)
        reportProgress(played);
    if (!emitMarksBefore(played))
        return;
    if (!mEndReceived || !mAudioSink)
        return;
    // The request is over once its last sample has played. The sink reports idle only when
    // the audio server's buffer has run dry, which can be well over a second later.
    const bool allPlayed = played >= receivedFrames();
    if (allPlayed || (mPendingAudio.isEmpty() && mAudioSink->state() == QAudio::IdleState))
        finishPlayback();
}

void TextToSpeechKokoro::finishPlayback()
{
    retireAudioSink();
    mCurrentId = 0;
    mMarks->clear();
    if (mState != TextToSpeechState::Ready)
        setState(TextToSpeechState::Ready);
}

// Lets go of the sink of a request that has played to its end. The sink's position runs a
// little ahead of the loudspeaker, so stopping it at once would cut the last sound short: it
// plays out the rest of its buffer (silence after the end) and then goes.
void TextToSpeechKokoro::retireAudioSink()
{
    mFeedTimer->stop();
    mPendingAudio.clear();
    mPlayOffset = 0;
    if (!mAudioSink)
        return;
    QAudioSink *sink = std::exchange(mAudioSink, nullptr);
    mAudioDevice = nullptr;
    sink->disconnect(this);
    if (sink->state() != QAudio::ActiveState) {
        sink->deleteLater();
        return;
    }
    connect(sink, &QAudioSink::stateChanged, sink, [sink](QAudio::State state) {
        if (state != QAudio::ActiveState)
            sink->deleteLater();
    });
    QTimer::singleShot(RetireTimeoutMs, sink, &QObject::deleteLater);
}

// The audio server starts a stream only once its pre-buffer is full, and a stream that
// never starts never ends: silence after the last sample lets a short text play at once.
void TextToSpeechKokoro::padAudioEnd()
{
    if (mEndPadded || !mAudioSink)
        return;
    mEndPadded = true;
    const qsizetype padding = qMax<qsizetype>(mAudioSink->bufferSize(), mFormat.bytesForDuration(100000));
    mPendingAudio.append(QByteArray(padding - padding % qMax(1, mFormat.bytesPerFrame()), '\0'));
}

qint64 TextToSpeechKokoro::receivedFrames() const
{
    const int frameBytes = mFormat.bytesPerFrame();
    return frameBytes > 0 ? mReceivedBytes / frameBytes : 0;
}

qint64 TextToSpeechKokoro::playedFrames() const
{
    return mPosition->frame(mAudioSink);
}

void TextToSpeechKokoro::reportProgress(qint64 played)
{
    mProgressClock.start();
    // The silence that pads the end is ours: the helper hears of no more than it sent.
    played = qMin(played, receivedFrames());
    sendCommand({{"cmd"_L1, "progress"_L1}, {"id"_L1, mCurrentId}, {"played"_L1, played}});
}

void TextToSpeechKokoro::writeAudio()
{
    if (!mAudioDevice || mPlayOffset >= mPendingAudio.size())
        return;
    const qint64 free = mAudioSink->bytesFree();
    if (free <= 0)
        return;
    const qint64 length = qMin(mPendingAudio.size() - mPlayOffset, free);
    const qint64 written = mAudioDevice->write(mPendingAudio.constData() + mPlayOffset, length);
    if (written <= 0)
        return;
    mPosition->written(written);
    mPlayOffset += written;
    if (mPlayOffset >= mPendingAudio.size()) {
        mPendingAudio.clear();
        mPlayOffset = 0;
    }
}

// A request paused before its audio has begun stays paused: its sink opens suspended.
void TextToSpeechKokoro::pause()
{
    if (mState != TextToSpeechState::Speaking)
        return;
    suspendAudioSink();
    setState(TextToSpeechState::Paused);
}

void TextToSpeechKokoro::resume()
{
    if (mState != TextToSpeechState::Paused)
        return;
    if (mAudioSink) {
        mAudioSink->resume();
        mPosition->resume();
        mFeedTimer->start();
    }
    setState(TextToSpeechState::Speaking);
}

void TextToSpeechKokoro::suspendAudioSink()
{
    if (!mAudioSink)
        return;
    mPosition->pause(mAudioSink);
    mFeedTimer->stop();
    mAudioSink->suspend();
}

void TextToSpeechKokoro::handleSinkStateChanged(QAudio::State state)
{
    if (state != QAudio::StoppedState || mAudioSink->error() == QAudio::NoError)
        return;
    cancelRequest();
    stopAudio();
    setError(QTextToSpeech::ErrorReason::Playback, HostKit::i18nd(TRANSLATION_DOMAIN, "The audio device stopped working."));
}

void TextToSpeechKokoro::applySinkVolume()
{
    if (mAudioSink)
        mAudioSink->setVolume(QAudio::convertVolume(float(mVolume), QAudio::LogarithmicVolumeScale, QAudio::LinearVolumeScale));
}
} // namespace TextEditTextToSpeech
