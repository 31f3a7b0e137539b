#pragma once

#include <QObject>
#include <QPointer>

class QAudioSource;
class QIODevice;
class WhisperSpeechToTextDevice;

// One dictation at a time: captures the default microphone and streams it into the
// dictation device, and tells the editor what to show. The device and its helper live as
// long as this object, so that the model stays loaded between utterances.
class Dictation : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Idle,
        Listening,
        // Capture has stopped; the final text is on its way.
        Transcribing,
    };
    Q_ENUM(State)

    explicit Dictation(QObject *parent = nullptr);
    ~Dictation() override;

    // The sample rate and channel count the helper wants, as the environment check reports.
    void setAudioFormat(int sampleRate, int channels);
    [[nodiscard]] State state() const;

    bool start();
    void finish();
    void cancel();

Q_SIGNALS:
    void stateChanged(Dictation::State state);
    void partialText(const QString &text);
    void finalText(const QString &text);
    void errorOccurred(const QString &message);

private:
    bool startCapture();
    void stopCapture();
    void forwardAudio();
    void handleCaptureState();
    void handleDeviceError(const QString &message);
    void setState(State state);
    bool fail(const QString &message);

    WhisperSpeechToTextDevice *const mDevice;
    QAudioSource *mSource = nullptr;
    QPointer<QIODevice> mInput;
    int mSampleRate = 16000;
    int mChannels = 1;
    State mState = State::Idle;
};
