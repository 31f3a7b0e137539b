#include <wavfile.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr quint16 Pcm = 1;
constexpr quint16 Float = 3;
constexpr quint16 ALaw = 6;
constexpr quint16 Extensible = 0xFFFE;

QByteArray le16(quint16 value)
{
    QByteArray bytes(2, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A chunk as it stands in a file: id, size, body and the pad byte an odd body is followed by.
QByteArray chunk(const QByteArray &id, const QByteArray &body)
{
    return id + le32(quint32(body.size())) + body + (body.size() % 2 ? QByteArray(1, '\0') : QByteArray());
}

QByteArray fmtBody(quint16 tag, int channels, int rate, int bits)
{
    const int blockAlign = channels * bits / 8;
    return le16(tag) + le16(quint16(channels)) + le32(quint32(rate)) + le32(quint32(rate * blockAlign)) + le16(quint16(blockAlign))
        + le16(quint16(bits));
}

// WAVE_FORMAT_EXTENSIBLE: the real tag sits in the first two bytes of the sub-format GUID.
QByteArray extensibleFmtBody(quint16 subFormat, int channels, int rate, int bits)
{
    return fmtBody(Extensible, channels, rate, bits) + le16(22) + le16(quint16(bits)) + le32(0) + le16(subFormat)
        + QByteArray::fromHex("000000001000800000aa00389b71");
}

QByteArray riff(const QByteArray &chunks)
{
    return "RIFF" + le32(quint32(4 + chunks.size())) + "WAVE" + chunks;
}

// Distinct sample values, so that a shifted or cut read shows.
QByteArray ramp(int frames, int channels)
{
    QByteArray samples;
    for (int i = 0; i < frames * channels; ++i)
        samples += le16(quint16(qint16(i * 37 - 1000)));
    return samples;
}

QByteArray pcmFile(int channels, int rate, const QByteArray &samples)
{
    return riff(chunk("fmt ", fmtBody(Pcm, channels, rate, 16)) + chunk("data", samples));
}

bool readBytes(WavFile &wav, QByteArray data)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    return wav.read(&buffer);
}

QAudioFormat int16Format(int rate, int channels)
{
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}
} // namespace

class tst_WavFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsPcm_data();
    void readsPcm();
    void refuses_data();
    void refuses();
    void readsFromPath();
    void roundTrip_data();
    void roundTrip();
    void writeFailures();
};

void tst_WavFile::readsPcm_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QByteArray>("samples");

    for (const auto &[rate, channels] : {std::pair{8000, 1}, {16000, 1}, {22050, 1}, {44100, 2}, {48000, 2}, {96000, 6}}) {
        const QByteArray samples = ramp(rate / 100, channels);
        QTest::addRow("%d Hz, %d channels", rate, channels) << pcmFile(channels, rate, samples) << rate << channels << samples;
    }

    const QByteArray samples = ramp(300, 2);
    QTest::newRow("extensible PCM") << riff(chunk("fmt ", extensibleFmtBody(Pcm, 2, 44100, 16)) + chunk("data", samples)) << 44100 << 2
                                    << samples;
    // An odd chunk is followed by a pad byte; reading it as data would shift every sample.
    QTest::newRow("odd chunk before the data") << riff(chunk("fmt ", fmtBody(Pcm, 1, 16000, 16)) + chunk("LIST", "abc")
                                                       + chunk("data", samples))
                                               << 16000 << 1 << samples;
    QTest::newRow("fact chunk before fmt") << riff(chunk("fact", le32(600)) + chunk("fmt ", fmtBody(Pcm, 2, 16000, 16))
                                                   + chunk("data", samples))
                                           << 16000 << 2 << samples;
    QTest::newRow("chunk after the data") << riff(chunk("fmt ", fmtBody(Pcm, 2, 16000, 16)) + chunk("data", samples)
                                                  + chunk("LIST", "info"))
                                          << 16000 << 2 << samples;

    // Recorders writing to a pipe cannot go back to fill in the size.
    const QByteArray streamed =
        "RIFF" + le32(0xFFFFFFFF) + "WAVE" + chunk("fmt ", fmtBody(Pcm, 2, 44100, 16)) + "data" + le32(0x7FFFF000) + samples;
    QTest::newRow("data size past the end") << streamed << 44100 << 2 << samples;
    QTest::newRow("data size past the end, half a frame at the end") << streamed + "\x01\x02\x03" << 44100 << 2 << samples;
    QTest::newRow("odd data size") << riff(chunk("fmt ", fmtBody(Pcm, 1, 16000, 16)) + chunk("data", samples + 'x')) << 16000 << 1
                                   << samples;
    QTest::newRow("empty data") << pcmFile(1, 16000, {}) << 16000 << 1 << QByteArray();
}

void tst_WavFile::readsPcm()
{
    QFETCH(QByteArray, file);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(QByteArray, samples);

    WavFile wav;
    QVERIFY2(readBytes(wav, file), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), rate);
    QCOMPARE(wav.channelCount(), channels);
    QCOMPARE(wav.samples(), samples);
    QVERIFY(wav.errorString().isEmpty());
}

void tst_WavFile::refuses_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    const QByteArray samples = ramp(100, 1);
    QTest::newRow("text file") << QByteArray("hello, this is not audio\n") << u"Not a WAV file"_s;
    QTest::newRow("empty file") << QByteArray() << u"Not a WAV file"_s;
    QTest::newRow("RIFF but not WAVE") << QByteArray("RIFF" + le32(4) + "AVI ") << u"Not a WAV file"_s;
    QTest::newRow("8-bit PCM") << riff(chunk("fmt ", fmtBody(Pcm, 1, 8000, 8)) + chunk("data", samples)) << u"8 bits"_s;
    QTest::newRow("24-bit PCM") << riff(chunk("fmt ", fmtBody(Pcm, 1, 8000, 24)) + chunk("data", samples)) << u"24 bits"_s;
    QTest::newRow("32-bit float") << riff(chunk("fmt ", fmtBody(Float, 1, 48000, 32)) + chunk("data", samples)) << u"format tag 3"_s;
    QTest::newRow("extensible float") << riff(chunk("fmt ", extensibleFmtBody(Float, 2, 48000, 32)) + chunk("data", samples))
                                      << u"format tag 3"_s;
    QTest::newRow("A-law") << riff(chunk("fmt ", fmtBody(ALaw, 1, 8000, 16)) + chunk("data", samples)) << u"format tag 6"_s;
    QTest::newRow("no channels") << riff(chunk("fmt ", fmtBody(Pcm, 0, 16000, 16)) + chunk("data", samples)) << u"0 channels"_s;
    QTest::newRow("rate 0") << riff(chunk("fmt ", fmtBody(Pcm, 1, 0, 16)) + chunk("data", samples)) << u"0 Hz"_s;
    QTest::newRow("format chunk too short") << riff(chunk("fmt ", fmtBody(Pcm, 1, 16000, 16).left(12)) + chunk("data", samples))
                                            << u"too short"_s;
    QTest::newRow("no format chunk") << riff(chunk("data", samples)) << u"no format chunk"_s;
    QTest::newRow("no data chunk") << riff(chunk("fmt ", fmtBody(Pcm, 1, 16000, 16))) << u"no data chunk"_s;
    const QByteArray whole = pcmFile(1, 16000, samples);
    QTest::newRow("cut in the format chunk") << whole.left(30) << u"too short"_s;
    QTest::newRow("cut before the data chunk") << whole.left(36) << u"no data chunk"_s;
}

void tst_WavFile::refuses()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    // A reused reader must not keep what the previous file held.
    WavFile wav;
    QVERIFY(readBytes(wav, pcmFile(2, 44100, ramp(10, 2))));
    QVERIFY(!readBytes(wav, file));
    QVERIFY2(wav.errorString().contains(reason), qPrintable(wav.errorString()));
    QVERIFY(wav.samples().isEmpty());
    QCOMPARE(wav.sampleRate(), 0);
    QCOMPARE(wav.channelCount(), 0);
}

void tst_WavFile::readsFromPath()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"speech.wav"_s);
    const QByteArray samples = ramp(160, 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pcmFile(1, 16000, samples));
    file.close();

    WavFile wav;
    QVERIFY2(wav.read(path), qPrintable(wav.errorString()));
    QCOMPARE(wav.samples(), samples);

    QVERIFY(!wav.read(dir.filePath(u"missing.wav"_s)));
    QVERIFY2(wav.errorString().startsWith(u"Cannot open "_s + dir.filePath(u"missing.wav"_s)), qPrintable(wav.errorString()));
    QVERIFY(wav.samples().isEmpty());
}

void tst_WavFile::roundTrip_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QByteArray>("samples");

    QTest::newRow("24 kHz mono") << 24000 << 1 << ramp(2400, 1);
    QTest::newRow("44.1 kHz stereo") << 44100 << 2 << ramp(441, 2);
    QTest::newRow("no samples") << 16000 << 1 << QByteArray();
}

void tst_WavFile::roundTrip()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(QByteArray, samples);

    QTemporaryDir dir;
    const QString path = dir.filePath(u"out.wav"_s);
    QString error;
    QVERIFY2(WavFile::write(path, int16Format(rate, channels), samples, &error), qPrintable(error));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    // The canonical 44-byte header, which every player reads.
    QCOMPARE(written, pcmFile(channels, rate, samples));

    WavFile wav;
    QVERIFY2(wav.read(path), qPrintable(wav.errorString()));
    QCOMPARE(wav.sampleRate(), rate);
    QCOMPARE(wav.channelCount(), channels);
    QCOMPARE(wav.samples(), samples);
}

void tst_WavFile::writeFailures()
{
    QTemporaryDir dir;
    QString error;
    const QString missingFolder = dir.filePath(u"no/such/folder/out.wav"_s);
    QVERIFY(!WavFile::write(missingFolder, int16Format(16000, 1), ramp(10, 1), &error));
    QVERIFY2(error.startsWith(u"Cannot write "_s + missingFolder), qPrintable(error));
    QVERIFY(!QFile::exists(missingFolder));

    // A folder where the file should go: the save fails and the folder is left alone.
    const QString folder = dir.filePath(u"taken.wav"_s);
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(!WavFile::write(folder, int16Format(16000, 1), ramp(10, 1), &error));
    QVERIFY(QFileInfo(folder).isDir());
}

QTEST_GUILESS_MAIN(tst_WavFile)
#include "tst_wavfile.moc"
