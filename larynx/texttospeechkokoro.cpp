#include "texttospeechkokoro.h"
#include "kokoroframedecoder.h"
#include "texttospeech_kokoro_debug.h"

#include <texttospeechkokoroutils.h>
#include <translation.h>

#include <QAudioSink>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMediaDevices>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
constexpr int FeedIntervalMs = 20;
constexpr int QuitTimeoutMs = 2000;
constexpr int KillTimeoutMs = 1000;

// The quit line is fixed text, not serialised, so a helper can match it byte for byte.
constexpr char QuitLine[] = "{\"cmd\": \"quit\"}\n";

// rate -1..0..1 maps to speed 0.5..1..2: halving and doubling sound equally far from normal.
double speedForRate(double rate)
{
    return rate >= 0.0 ? 1.0 + rate : 1.0 + rate / 2.0;
}

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
    , mFeedTimer(new QTimer(this))
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
    mCurrentId = ++mRequestCounter;
    sendCommand({
        {"cmd"_L1, "say"_L1},
        {"id"_L1, mCurrentId},
        {"text"_L1, text},
        {"voice"_L1, mVoice},
        {"speed"_L1, speedForRate(mRate)},
        {"sampleFormat"_L1, "int16"_L1},
    });
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
    } else if (type == "format"_L1) {
        applyFormat(header);
    } else if (type == "error"_L1) {
        const QString message = header.value("message"_L1).toString();
        qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Kokoro synthesis failed:" << message;
        mCurrentId = 0;
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

void TextToSpeechKokoro::handleEnd()
{
    mEndReceived = true;
    if (!mSynthesizeOnly && mAudioSink) {
        feedAudio();
        return;
    }
    stopAudio();
    mCurrentId = 0;
    if (mState != TextToSpeechState::Ready)
        setState(TextToSpeechState::Ready);
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
    mAudioSink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
    applySinkVolume();
    mAudioDevice = mAudioSink->start();
    if (mAudioDevice) {
        connect(mAudioSink, &QAudioSink::stateChanged, this, &TextToSpeechKokoro::handleSinkStateChanged);
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
        Q_EMIT synthesized(mFormat, data);
        return;
    }
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

void TextToSpeechKokoro::feedAudio()
{
    writeAudio();
    if (mEndReceived && mPendingAudio.isEmpty() && mAudioSink && mAudioSink->state() == QAudio::IdleState) {
        stopAudio();
        mCurrentId = 0;
        if (mState != TextToSpeechState::Ready)
            setState(TextToSpeechState::Ready);
    }
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
    mPlayOffset += written;
    if (mPlayOffset >= mPendingAudio.size()) {
        mPendingAudio.clear();
        mPlayOffset = 0;
    }
}

void TextToSpeechKokoro::pause()
{
    if (mState != TextToSpeechState::Speaking || !mAudioSink)
        return;
    mFeedTimer->stop();
    mAudioSink->suspend();
    setState(TextToSpeechState::Paused);
}

void TextToSpeechKokoro::resume()
{
    if (mState != TextToSpeechState::Paused || !mAudioSink)
        return;
    mAudioSink->resume();
    mFeedTimer->start();
    setState(TextToSpeechState::Speaking);
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
