#pragma once

#include <texttospeechkokoro.h>

#include <QList>

#include <limits>
#include <memory>

// A read-aloud engine and what it signalled, timestamped on MonitorRecorder's clock.
class EngineProbe
{
public:
    struct Word {
        qsizetype start = 0;
        // When sayingWord() came.
        double time = 0;
        // What synthesized() had handed out before it: where the word begins in the stream.
        qint64 bytes = 0;
    };

    EngineProbe();
    ~EngineProbe();

    TextEditTextToSpeech::TextToSpeechKokoro *operator->() const;

    // Forgets what was signalled so far.
    void forget();
    // Waits for Ready (true) or an error (false).
    bool waitUntilReady(double seconds);
    // Says a short text to the end, so that the figures after it do not count python starting.
    bool warmUp();

    [[nodiscard]] double readyTime() const;
    [[nodiscard]] bool failed() const;
    [[nodiscard]] QList<Word> words() const;

private:
    std::unique_ptr<TextEditTextToSpeech::TextToSpeechKokoro> mEngine;
    double mReadyTime = std::numeric_limits<double>::quiet_NaN();
    bool mFailed = false;
    QList<Word> mWords;
    qint64 mBytes = 0;
};
