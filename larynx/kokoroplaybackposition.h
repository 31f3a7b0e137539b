#pragma once

#include <QAudioFormat>
#include <QElapsedTimer>

class QAudioSink;

namespace TextEditTextToSpeech
{
// How far the playback of a request's audio stream has got, in frames of the stream.
//
// Qt's sink reports the time it has processed, interpolated from the audio server's last
// timing report; when a stream starts or resumes that report can be stale, and the time leaps
// ahead of the sound. So the position is never taken to be beyond what the server has taken
// out of the stream, nor beyond real time since playback (re)started.
class KokoroPlaybackPosition
{
public:
    // A new sink plays the stream from `baseFrame` on.
    void restart(const QAudioFormat &format, qint64 baseFrame);
    void written(qint64 bytes);
    void pause(const QAudioSink *sink);
    void resume();

    [[nodiscard]] qint64 frame(const QAudioSink *sink) const;
    [[nodiscard]] qint64 baseFrame() const;

private:
    QAudioFormat mFormat;
    qint64 mBaseFrame = 0;
    qint64 mWrittenBytes = 0;
    qint64 mPacedFromFrame = 0;
    QElapsedTimer mPacedSince;
};
} // namespace TextEditTextToSpeech
