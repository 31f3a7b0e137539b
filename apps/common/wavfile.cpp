#include "wavfile.h"

#include "outputtarget.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr quint16 PcmFormat = 1;
constexpr quint16 ExtensibleFormat = 0xFFFE;

quint16 read16(const QByteArray &data, qsizetype offset)
{
    return qFromLittleEndian<quint16>(data.constData() + offset);
}

quint32 read32(const QByteArray &data, qsizetype offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

void append16(QByteArray &data, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    data.append(bytes, 2);
}

void append32(QByteArray &data, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    data.append(bytes, 4);
}
} // namespace

bool WavFile::read(QIODevice *device)
{
    return parse(device->readAll());
}

bool WavFile::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(u"Cannot open %1: %2"_s.arg(path, file.errorString()));
    return read(&file);
}

int WavFile::sampleRate() const
{
    return mSampleRate;
}

int WavFile::channelCount() const
{
    return mChannelCount;
}

QByteArray WavFile::samples() const
{
    return mSamples;
}

QString WavFile::errorString() const
{
    return mErrorString;
}

bool WavFile::parse(const QByteArray &data)
{
    mSampleRate = 0;
    mChannelCount = 0;
    mSamples.clear();
    mErrorString.clear();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE")
        return fail(u"Not a WAV file (no RIFF/WAVE header)."_s);

    for (qsizetype offset = 12; offset + 8 <= data.size();) {
        const QByteArray id = data.mid(offset, 4);
        const qsizetype body = offset + 8;
        const qsizetype size = std::min<qsizetype>(read32(data, offset + 4), data.size() - body);
        if (id == "fmt ") {
            if (!readFormatChunk(data.mid(body, size)))
                return false;
        } else if (id == "data") {
            if (mChannelCount == 0)
                return fail(u"The WAV file has no format chunk before its samples."_s);
            const qsizetype frameBytes = 2 * mChannelCount;
            mSamples = data.mid(body, size - size % frameBytes);
            return true;
        }
        offset = body + size + (size & 1);
    }
    if (mChannelCount == 0)
        return fail(u"The WAV file has no format chunk."_s);
    return fail(u"The WAV file has no samples (no data chunk)."_s);
}

bool WavFile::readFormatChunk(const QByteArray &chunk)
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

bool WavFile::fail(const QString &message)
{
    // Nothing of a file that could not be read, nor of the one read before, may pass for audio.
    mSampleRate = 0;
    mChannelCount = 0;
    mSamples.clear();
    mErrorString = message;
    return false;
}

QByteArray WavFile::header(const QAudioFormat &format, qint64 dataSize)
{
    const int channels = format.channelCount();
    const int bytesPerSample = format.bytesPerSample();
    const bool isFloat = format.sampleFormat() == QAudioFormat::Float;
    QByteArray header;
    header.reserve(44);
    header.append("RIFF");
    append32(header, quint32(std::min<qint64>(36 + dataSize, 0xFFFFFFFF)));
    header.append("WAVEfmt ");
    append32(header, 16);
    append16(header, isFloat ? 3 : PcmFormat);
    append16(header, quint16(channels));
    append32(header, quint32(format.sampleRate()));
    append32(header, quint32(format.sampleRate() * channels * bytesPerSample));
    append16(header, quint16(channels * bytesPerSample));
    append16(header, quint16(bytesPerSample * 8));
    header.append("data");
    append32(header, quint32(std::min<qint64>(dataSize, 0xFFFFFFFF - 36)));
    return header;
}

bool WavFile::write(QIODevice *device, const QAudioFormat &format, const QByteArray &samples)
{
    const QByteArray head = header(format, samples.size());
    return device->write(head) == head.size() && device->write(samples) == samples.size();
}

bool WavFile::write(const QString &path, const QAudioFormat &format, const QByteArray &samples, QString *errorString)
{
    OutputTarget target(path);
    bool saved = target.open();
    if (saved) {
        // commit() tells a failed write, and lets go of a half-written file.
        write(target.device(), format, samples);
        saved = target.commit();
    }
    if (!saved && errorString)
        *errorString = target.errorString();
    return saved;
}
