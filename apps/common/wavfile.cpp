#include "wavfile.h"

#include "outputtarget.h"
#include "wavstreamreader.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr quint16 PcmFormat = 1;
constexpr qint64 ReadBlockBytes = 1 << 20;

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
    // The stream reader is the one parser of WAV headers; this only keeps all it reads.
    mSampleRate = 0;
    mChannelCount = 0;
    mSamples.clear();
    mErrorString.clear();
    WavStreamReader reader(device);
    if (!reader.readHeader())
        return fail(reader.errorString());
    QByteArray samples;
    while (!reader.atEnd())
        samples += reader.read(ReadBlockBytes);
    if (reader.hasError())
        return fail(reader.errorString());
    mSampleRate = reader.sampleRate();
    mChannelCount = reader.channelCount();
    mSamples = samples;
    return true;
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
