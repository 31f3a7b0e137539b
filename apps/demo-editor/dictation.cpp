#include "dictation.h"

#include <whisperspeechtotextdevice.h>
#include <whisperspeechtotextutils.h>

#include <QAudioSource>
#include <QMediaDevices>

using namespace Qt::Literals::StringLiterals;

Dictation::Dictation(QObject *parent)
    : QObject(parent)
    , mDevice(new WhisperSpeechToTextDevice(this))
{
    connect(mDevice, &WhisperSpeechToTextDevice::partialResult, this, [this](const QString &text) {
        if (mState != State::Idle)
            Q_EMIT partialText(text);
    });
    connect(mDevice, &WhisperSpeechToTextDevice::result, this, &Dictation::finalText);
    connect(mDevice, &WhisperSpeechToTextDevice::doneListening, this, [this] {
        if (mState == State::Transcribing)
            setState(State::Idle);
    });
    connect(mDevice, &WhisperSpeechToTextDevice::errorOccurred, this, &Dictation::handleDeviceError);
}

Dictation::~Dictation()
{
    stopCapture();
}

void Dictation::setAudioFormat(int sampleRate, int channels)
{
    if (sampleRate > 0)
        mSampleRate = sampleRate;
    if (channels > 0)
        mChannels = channels;
}

Dictation::State Dictation::state() const
{
    return mState;
}

bool Dictation::start()
{
    if (mState != State::Idle)
        return false;
    WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo info;
    info.model = WhisperSpeechToTextUtils::loadModel();
    info.language = WhisperSpeechToTextUtils::loadLanguage();
    info.computeType = WhisperSpeechToTextUtils::loadComputeType();
    info.device = WhisperSpeechToTextUtils::loadDevice();
    info.partials = true;
    // The device only logs a failed start; the user has to hear of it here.
    if (!mDevice->initialize(std::move(info)))
        return fail(u"The dictation helper could not be started. Check the whisper environment (Speech ▸ Check Setup Again)."_s);
    if (!startCapture())
        return false;
    mDevice->clear();
    setState(State::Listening);
    return true;
}

void Dictation::finish()
{
    if (mState != State::Listening)
        return;
    forwardAudio();
    stopCapture();
    mDevice->finish();
    setState(State::Transcribing);
}

void Dictation::cancel()
{
    if (mState == State::Idle)
        return;
    stopCapture();
    // A new utterance makes the device drop whatever the abandoned one still sends.
    mDevice->clear();
    setState(State::Idle);
}

bool Dictation::startCapture()
{
    const QAudioDevice input = QMediaDevices::defaultAudioInput();
    if (input.isNull())
        return fail(u"No microphone was found."_s);

    QAudioFormat format;
    format.setSampleRate(mSampleRate);
    format.setChannelCount(mChannels);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!input.isFormatSupported(format))
        return fail(
            u"The microphone “%1” cannot record %2 Hz, %3 channel(s), 16-bit."_s.arg(input.description()).arg(mSampleRate).arg(mChannels));

    mSource = new QAudioSource(input, format, this);
    connect(mSource, &QAudioSource::stateChanged, this, &Dictation::handleCaptureState);
    mInput = mSource->start();
    if (!mInput) {
        stopCapture();
        return fail(u"The microphone could not be opened."_s);
    }
    connect(mInput, &QIODevice::readyRead, this, &Dictation::forwardAudio);
    return true;
}

void Dictation::stopCapture()
{
    if (!mSource)
        return;
    mSource->disconnect(this);
    mSource->stop();
    mSource->deleteLater();
    mSource = nullptr;
    mInput = nullptr;
}

void Dictation::forwardAudio()
{
    if (!mInput)
        return;
    const QByteArray audio = mInput->readAll();
    if (!audio.isEmpty())
        mDevice->write(audio);
}

void Dictation::handleCaptureState()
{
    const QAudio::Error error = mSource->error();
    if (error == QAudio::NoError || error == QAudio::UnderrunError)
        return;
    stopCapture();
    mDevice->clear();
    setState(State::Idle);
    Q_EMIT errorOccurred(error == QAudio::OpenError ? u"The microphone could not be opened."_s
                                                    : u"Recording from the microphone failed."_s);
}

void Dictation::handleDeviceError(const QString &message)
{
    // Whatever went wrong ends this utterance; the next start cancels it in the helper, and a
    // helper that died is started again then rather than here.
    stopCapture();
    setState(State::Idle);
    Q_EMIT errorOccurred(message);
}

void Dictation::setState(State state)
{
    if (mState == state)
        return;
    mState = state;
    Q_EMIT stateChanged(mState);
}

bool Dictation::fail(const QString &message)
{
    Q_EMIT errorOccurred(message);
    return false;
}
