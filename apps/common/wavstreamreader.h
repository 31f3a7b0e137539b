#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// Reads a RIFF/WAVE stream of signed 16-bit PCM from the front: the header from the first
// bytes, then the samples a block at a time, so that a file or a pipe of any length is read
// in the memory of one block. Other sample formats are refused with a readable reason.
class WavStreamReader
{
public:
    // device stays the caller's and must be open for reading.
    explicit WavStreamReader(QIODevice *device);

    // Reads up to the first sample. Fails at once on input that does not start as a WAV file.
    bool readHeader();

    [[nodiscard]] int sampleRate() const;
    [[nodiscard]] int channelCount() const;

    // Returns up to maxBytes of whole frames; blocks until they are there or the input ends.
    // Empty at the end of the samples or on a read error.
    [[nodiscard]] QByteArray read(qint64 maxBytes);
    // Whether no sample is left; reads ahead one frame to know.
    [[nodiscard]] bool atEnd();
    [[nodiscard]] bool hasError() const;
    [[nodiscard]] QString errorString() const;

    // The size of the samples the header gives, or -1 when it leaves it open as recorders
    // that stream to a pipe do.
    [[nodiscard]] qint64 declaredBytes() const;
    [[nodiscard]] qint64 bytesRead() const;
    // The input ended before the samples the header promised.
    [[nodiscard]] bool endedShort() const;

private:
    QByteArray readUpTo(qint64 size);
    bool skip(qint64 size);
    bool readFormatChunk(const QByteArray &chunk);
    bool fail(const QString &message);

    QIODevice *mDevice;
    int mSampleRate = 0;
    int mChannelCount = 0;
    qint64 mDeclaredBytes = -1;
    qint64 mBytesRead = 0;
    // Samples read ahead by atEnd().
    QByteArray mAhead;
    bool mEnded = false;
    QString mErrorString;
};
