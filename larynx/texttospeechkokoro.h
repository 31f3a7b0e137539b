#pragma once

#include "larynx_export.h"
#include "texttospeechcompat.h"

#include <QAudio>
#include <QAudioFormat>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

class QAudioSink;
class QIODevice;
class QJsonObject;
class QTimer;

namespace TextEditTextToSpeech
{
class KokoroFrameDecoder;
class KokoroMarkQueue;
class KokoroPlaybackPosition;

// The read-aloud engine. say() speaks a text on the default audio output while the kokoro
// helper is still synthesizing it; synthesize() hands the audio back through synthesized()
// instead. States and errors follow Qt's text-to-speech API.
class LARYNX_EXPORT TextToSpeechKokoro : public QObject
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoro(QObject *parent = nullptr);
    ~TextToSpeechKokoro() override;

    void say(const QString &text);
    void synthesize(const QString &text);
    void stop();
    void pause();
    void resume();

    [[nodiscard]] double rate() const;
    bool setRate(double rate);
    // -1.0 to 1.0: down or up by as much as six semitones, the duration unchanged.
    [[nodiscard]] double pitch() const;
    bool setPitch(double pitch);
    [[nodiscard]] double volume() const;
    bool setVolume(double volume);
    [[nodiscard]] QString voiceIdentifier() const;
    bool setVoiceIdentifier(const QString &voice);

    [[nodiscard]] TextToSpeechState state() const;
    [[nodiscard]] QTextToSpeech::ErrorReason errorReason() const;
    [[nodiscard]] QString errorString() const;

Q_SIGNALS:
    void stateChanged(TextEditTextToSpeech::TextToSpeechState state);
    void errorOccurred(QTextToSpeech::ErrorReason reason, const QString &errorString);
    void synthesized(const QAudioFormat &format, const QByteArray &data);
    // The voice has reached a sentence or a word of the text, given as a range of the text
    // passed to say() or synthesize() (UTF-16 code units, as QString counts them). While
    // speaking they come when that sound plays; while synthesizing, just before the
    // synthesized() whose data begins with it.
    void sayingSentence(qsizetype start, qsizetype length);
    void sayingWord(const QString &word, qsizetype start, qsizetype length);

private:
    void startRequest(const QString &text, bool synthesizeOnly);
    bool ensureProcess();
    void sendCommand(const QJsonObject &command);
    void cancelRequest();
    void readProcessOutput();
    void readProcessError();
    void handleProcessError(QProcess::ProcessError error);
    void handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleFrame(const QJsonObject &header, const QByteArray &payload);
    void applyFormat(const QJsonObject &header);
    void handleMark(const QJsonObject &header);
    void handleEnd();
    bool emitMarksBefore(qint64 sample);
    bool emitNextMark();
    void setState(TextToSpeechState state);
    void setError(QTextToSpeech::ErrorReason reason, const QString &text);
    void stopProcess();

    void stopAudio();
    void openAudioSink(const QAudioFormat &format);
    void appendAudio(const QByteArray &data);
    void handOutAudio(const QByteArray &data);
    void feedAudio();
    void writeAudio();
    [[nodiscard]] qint64 playedFrames() const;
    [[nodiscard]] qint64 receivedFrames() const;
    void reportProgress(qint64 played);
    void padAudioEnd();
    void finishPlayback();
    void retireAudioSink();
    void suspendAudioSink();
    void handleSinkStateChanged(QAudio::State state);
    void applySinkVolume();

    QString mVoice;
    QString mErrorString;
    std::unique_ptr<KokoroFrameDecoder> mDecoder;
    QAudioFormat mFormat;
    double mRate = 0.0;
    double mPitch = 0.0;
    double mVolume = 1.0;
    qint32 mCurrentId = 0;
    qint32 mRequestCounter = 0;
    TextToSpeechState mState = TextToSpeechState::Ready;
    QTextToSpeech::ErrorReason mErrorReason = QTextToSpeech::ErrorReason::NoError;
    bool mSynthesizeOnly = false;
    bool mEndReceived = false;
    QProcess *mProcess = nullptr;
    std::unique_ptr<KokoroMarkQueue> mMarks;
    // Bytes of the current request's audio received so far (played or handed out).
    qint64 mReceivedBytes = 0;

    QByteArray mPendingAudio;
    qint64 mPlayOffset = 0;
    QAudioSink *mAudioSink = nullptr;
    QIODevice *mAudioDevice = nullptr;
    QTimer *mFeedTimer = nullptr;
    std::unique_ptr<KokoroPlaybackPosition> mPosition;
    QElapsedTimer mProgressClock;
    bool mEndPadded = false;
};
} // namespace TextEditTextToSpeech
