#include "wavstreamreader.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr quint16 PcmFormat = 1;
constexpr quint16 ExtensibleFormat = 0xFFFE;
constexpr qint64 ChunkHeaderBytes = 8;
constexpr qint64 LongestFormatChunk = 4096;
constexpr qint64 SkipBlockBytes = 64 * 1024;
// Metadata before the samples (tags, cue points, a cover picture) stays far below this; a
// stream that goes on longer without samples is not a recording.
constexpr qint64 HeaderLimit = 16 * 1024 * 1024;
// Placeholders for "until the end", written by recorders that cannot go back to fill in
// the size.
constexpr quint32 OpenSizes[] = {0, 0xFFFFFFFF};

quint16 read16(const QByteArray &data, qsizetype offset)
{
    return qFromLittleEndian<quint16>(data.constData() + offset);
}

quint32 read32(const QByteArray &data, qsizetype offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

// Chunk names are four printable characters; anything else is not a RIFF file, or no
// longer one (zeros, random bytes).
bool isChunkId(const QByteArray &id)
{
    return std::all_of(id.cbegin(), id.cend(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}
} // namespace

WavStreamReader::WavStreamReader(QIODevice *device)
    : mDevice(device)
{
}

bool WavStreamReader::readHeader()
{
    const QByteArray riff = readUpTo(12);
    if (hasError())
        return false;
    if (riff.size() < 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE")
        return fail(u"Not a WAV file (no RIFF/WAVE header)."_s);

    for (qint64 headerBytes = 12; headerBytes <= HeaderLimit;) {
        const QByteArray chunk = readUpTo(ChunkHeaderBytes);
        if (hasError())
            return false;
        if (chunk.size() < ChunkHeaderBytes) {
            if (mChannelCount == 0)
                return fail(u"The WAV file has no format chunk."_s);
            return fail(u"The WAV file has no samples (no data chunk)."_s);
        }
        const QByteArray id = chunk.left(4);
        const quint32 size = read32(chunk, 4);
        if (!isChunkId(id))
            return fail(u"Not a WAV file (damaged chunk after %1 bytes)."_s.arg(headerBytes));
        if (id == "data") {
            if (mChannelCount == 0)
                return fail(u"The WAV file has no format chunk before its samples."_s);
            const bool open = std::find(std::begin(OpenSizes), std::end(OpenSizes), size) != std::end(OpenSizes);
            mDeclaredBytes = open ? -1 : qint64(size);
            return true;
        }
        const qint64 padded = qint64(size) + (size & 1);
        if (id == "fmt ") {
            if (size > LongestFormatChunk)
                return fail(u"The WAV file's format chunk is too long (%1 bytes)."_s.arg(size));
            if (!readFormatChunk(readUpTo(padded).left(size)))
                return false;
        } else if (!skip(padded)) {
            return fail(u"The WAV file has no samples (no data chunk)."_s);
        }
        headerBytes += ChunkHeaderBytes + padded;
    }
    return fail(u"The WAV file has no samples within its first %1 MiB."_s.arg(HeaderLimit / (1024 * 1024)));
}

int WavStreamReader::sampleRate() const
{
    return mSampleRate;
}

int WavStreamReader::channelCount() const
{
    return mChannelCount;
}

QByteArray WavStreamReader::read(qint64 maxBytes)
{
    const qint64 frameBytes = 2 * qint64(mChannelCount);
    if (frameBytes == 0)
        return {};
    QByteArray block = std::exchange(mAhead, {});
    qint64 wanted = maxBytes - maxBytes % frameBytes - block.size();
    if (mDeclaredBytes >= 0)
        wanted = std::min(wanted, mDeclaredBytes - mBytesRead);
    if (wanted > 0 && !mEnded) {
        const QByteArray more = readUpTo(wanted);
        mBytesRead += more.size();
        if (more.size() < wanted)
            mEnded = true;
        block += more;
    }
    if (mDeclaredBytes >= 0 && mBytesRead >= mDeclaredBytes)
        mEnded = true;
    // A last frame cut short is no sample.
    block.truncate(block.size() - block.size() % frameBytes);
    return block;
}

bool WavStreamReader::atEnd()
{
    if (mAhead.isEmpty())
        mAhead = read(2 * qint64(mChannelCount));
    return mAhead.isEmpty();
}

bool WavStreamReader::hasError() const
{
    return !mErrorString.isEmpty();
}

QString WavStreamReader::errorString() const
{
    return mErrorString;
}

qint64 WavStreamReader::declaredBytes() const
{
    return mDeclaredBytes;
}

qint64 WavStreamReader::bytesRead() const
{
    return mBytesRead;
}

bool WavStreamReader::endedShort() const
{
    return mEnded && mDeclaredBytes >= 0 && mBytesRead < mDeclaredBytes;
}

QByteArray WavStreamReader::readUpTo(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    qint64 got = 0;
    while (got < size) {
        const qint64 part = mDevice->read(data.data() + got, size - got);
        if (part < 0)
            fail(u"Read error: %1."_s.arg(mDevice->errorString()));
        if (part <= 0)
            break;
        got += part;
    }
    data.truncate(got);
    return data;
}

bool WavStreamReader::skip(qint64 size)
{
    if (!mDevice->isSequential()) {
        const qint64 target = mDevice->pos() + size;
        return target <= mDevice->size() && mDevice->seek(target);
    }
    for (qint64 left = size; left > 0;) {
        const qint64 skipped = readUpTo(std::min(left, SkipBlockBytes)).size();
        if (skipped == 0)
            return false;
        left -= skipped;
    }
    return true;
}

bool WavStreamReader::readFormatChunk(const QByteArray &chunk)
{
    if (chunk.size() < 16)
        return fail(u"The WAV file's format chunk is too short."_s);
    quint16 format = read16(chunk, 0);
    if (format == ExtensibleFormat && chunk.size() >= 26)
        format = read16(chunk, 24);
    const int channels = read16(chunk, 2);
    const int rate = int(read32(chunk, 4));
    const int bits = read16(chunk, 14);
    if (format != PcmFormat || bits != 16)
        return fail(u"Unsupported WAV format (format tag %1, %2 bits per sample); only 16-bit PCM can be read."_s.arg(format).arg(bits));
    if (channels < 1 || channels > 32 || rate < 1000 || rate > 768000)
        return fail(u"Unsupported WAV layout: %1 channels at %2 Hz."_s.arg(channels).arg(rate));
    mChannelCount = channels;
    mSampleRate = rate;
    return true;
}

bool WavStreamReader::fail(const QString &message)
{
    if (mErrorString.isEmpty())
        mErrorString = message;
    mEnded = true;
    return false;
}
