#pragma once

#include "statusline.h"

#include <whisperspeechtotextcheckjob.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class PcmStreamConverter;
class WavStreamReader;
class WhisperSpeechToTextDevice;

// One dictation of recorded audio from start to end: checks the whisper environment, then
// reads the audio as it goes, brings it to the format the helper asked for, streams it into
// the dictation device in 20 ms writes as a microphone would, and prints the partial and
// final text. Only a few blocks of audio are held at any time, however long the input.
class Dictation : public QObject
{
    Q_OBJECT
public:
    enum ExitCode {
        Success = 0,
        BadUsage = 1,
        NotInstalled = 2,
        HelperFailed = 3,
        OutputFailed = 3,
    };

    struct Settings {
        QString model;
        QString language;
        QString computeType;
        QString device;
        bool partials = true;
        // Writes the audio at the pace it was recorded instead of as fast as possible.
        bool realtime = false;
        // How long the environment check and the final text may take.
        int timeoutMs = 120000;
    };

    // audio has read its header; it stays the caller's and is read up to its end. sourceName
    // names it in messages.
    Dictation(WavStreamReader *audio, const QString &sourceName, const Settings &settings, QObject *parent = nullptr);
    ~Dictation() override;

    void start();

Q_SIGNALS:
    void finished(int exitCode);

private:
    void startDictation(const WhisperSpeechToTextCheckJob::CheckResult &check);
    bool startDevice();
    void writeAudio();
    [[nodiscard]] bool fillPending();
    [[nodiscard]] bool helperBacklogged() const;
    void resumeWriting();
    void finishAudio();
    void addResult(const QString &text);
    void printResult();
    void reportError(const QString &message);
    void fail(ExitCode exitCode, const QString &message);
    void finish(ExitCode exitCode);
    void waitAtMost(const QString &message);

    WavStreamReader *mAudio;
    QString mSourceName;
    Settings mSettings;

    WhisperSpeechToTextDevice *mDevice = nullptr;
    std::unique_ptr<PcmStreamConverter> mConverter;
    // Converted audio not yet written to the device.
    QByteArray mPending;
    bool mInputDone = false;
    qsizetype mChunkBytes = 0;
    qsizetype mWritten = 0;
    QElapsedTimer mClock;
    QTimer mFeedTimer;
    QTimer mTimeout;
    QString mTimeoutMessage;
    StatusLine mStatusLine;
    QString mText;
    bool mFinished = false;
};
