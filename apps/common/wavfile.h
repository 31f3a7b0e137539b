#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

class QIODevice;

// A RIFF/WAVE file of signed 16-bit PCM: what the tools read to dictate and write when
// speech is saved. Other sample formats are refused with a readable reason, never guessed.
class WavFile
{
public:
    // Reads a whole file from device with WavStreamReader, keeping every sample in memory: for
    // files of a known, modest size. A data chunk whose size runs past the end (as written by
    // recorders that stream to a pipe and never go back to fill it in) takes what is there.
    bool read(QIODevice *device);
    bool read(const QString &path);

    [[nodiscard]] int sampleRate() const;
    [[nodiscard]] int channelCount() const;
    [[nodiscard]] QByteArray samples() const;
    [[nodiscard]] QString errorString() const;

    static QByteArray header(const QAudioFormat &format, qint64 dataSize);
    static bool write(QIODevice *device, const QAudioFormat &format, const QByteArray &samples);
    // "-" is standard output; see OutputTarget for what else path may name.
    static bool write(const QString &path, const QAudioFormat &format, const QByteArray &samples, QString *errorString);

private:
    bool fail(const QString &message);

    int mSampleRate = 0;
    int mChannelCount = 0;
    QByteArray mSamples;
    QString mErrorString;
};
