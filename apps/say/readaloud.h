#pragma once

#include "subtitletrack.h"

#include <texttospeechkokoro.h>

#include <QAudioFormat>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Reads one text aloud with the kokoro engine, on the default audio output or into a WAV
// file, optionally with WebVTT subtitles, and reports how it ended as an exit code.
class ReadAloud : public QObject
{
    Q_OBJECT
public:
    enum ExitCode {
        Success = 0,
        BadUsage = 1,
        NotInstalled = 2,
        HelperFailed = 3,
    };

    struct Settings {
        QString voice;
        double rate = 0.0;
        double volume = 1.0;
        // Empty: play the speech. Otherwise the WAV file to write it to.
        QString outputPath;
        // Empty: no subtitles. Otherwise the WebVTT file to write them to.
        QString subtitlesPath;
        // How long the helper may stay silent: before its first answer, between two pieces
        // of the speech, or between sentences heard while playing. 0: no limit.
        int timeoutMs = 0;
    };

    ReadAloud(const QString &text, const Settings &settings, QObject *parent = nullptr);
    ~ReadAloud() override;

    void start();

Q_SIGNALS:
    void finished(int exitCode);

private:
    void heardFromHelper();
    void handleStateChanged(TextEditTextToSpeech::TextToSpeechState state);
    void handleError(QTextToSpeech::ErrorReason reason, const QString &message);
    void collect(const QAudioFormat &format, const QByteArray &data);
    void addSentence(qsizetype start, qsizetype length);
    void addWord(qsizetype start, qsizetype length);
    [[nodiscard]] qint64 markTime() const;
    void writeOutput();
    bool writeSubtitles();
    void fail(ExitCode exitCode, const QString &message);
    void finish(ExitCode exitCode);

    QString mText;
    Settings mSettings;
    TextEditTextToSpeech::TextToSpeechKokoro *mEngine = nullptr;
    QAudioFormat mFormat;
    QByteArray mAudio;
    QTimer mTimeout;
    SubtitleTrack mSubtitles;
    // While playing, the subtitles' clock: it starts when the first sentence is heard.
    QElapsedTimer mPlayClock;
    bool mStarted = false;
    bool mFinished = false;
};
