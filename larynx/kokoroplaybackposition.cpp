#include "kokoroplaybackposition.h"

#include <QAudioSink>

namespace TextEditTextToSpeech
{
void KokoroPlaybackPosition::restart(const QAudioFormat &format, qint64 baseFrame)
{
    mFormat = format;
    mBaseFrame = baseFrame;
    mWrittenBytes = 0;
    mPacedFromFrame = 0;
    mPacedSince.invalidate();
}

void KokoroPlaybackPosition::written(qint64 bytes)
{
    // The first sound of the stream: the real-time bound runs from here.
    if (mWrittenBytes == 0 && bytes > 0) {
        mPacedFromFrame = 0;
        mPacedSince.start();
    }
    mWrittenBytes += bytes;
}

void KokoroPlaybackPosition::pause(const QAudioSink *sink)
{
    mPacedFromFrame = frame(sink) - mBaseFrame;
    mPacedSince.invalidate();
}

void KokoroPlaybackPosition::resume()
{
    mPacedSince.start();
}

qint64 KokoroPlaybackPosition::frame(const QAudioSink *sink) const
{
    if (!sink)
        return mBaseFrame;
    const qint64 rate = mFormat.sampleRate();
    const qint64 frameBytes = qMax(1, mFormat.bytesPerFrame());
    const qint64 queuedBytes = qMax<qint64>(0, sink->bufferSize() - sink->bytesFree());
    qint64 frames = qMin(sink->processedUSecs() * rate / 1000000, (mWrittenBytes - queuedBytes) / frameBytes);
    if (mPacedSince.isValid())
        frames = qMin(frames, mPacedFromFrame + mPacedSince.nsecsElapsed() * rate / 1000000000);
    else if (mWrittenBytes > 0)
        frames = qMin(frames, mPacedFromFrame);
    return mBaseFrame + qMax<qint64>(0, frames);
}

qint64 KokoroPlaybackPosition::baseFrame() const
{
    return mBaseFrame;
}
} // namespace TextEditTextToSpeech
