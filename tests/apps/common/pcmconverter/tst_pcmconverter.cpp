#include <pcmconverter.h>

#include <QList>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <functional>

namespace
{
using Signal = std::function<qint16(qint64 frame, int channel)>;

QByteArray generate(qint64 frames, int channels, const Signal &signal)
{
    QByteArray samples(frames * channels * 2, Qt::Uninitialized);
    auto *target = reinterpret_cast<uchar *>(samples.data());
    for (qint64 frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            qToLittleEndian<qint16>(signal(frame, channel), target);
            target += 2;
        }
    }
    return samples;
}

QList<qint16> values(const QByteArray &samples)
{
    QList<qint16> result;
    for (qsizetype i = 0; i + 1 < samples.size(); i += 2)
        result.append(qFromLittleEndian<qint16>(samples.constData() + i));
    return result;
}
} // namespace

class tst_PcmConverter : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void length_data();
    void length();
    void constantSurvives_data();
    void constantSurvives();
    void rampSurvives_data();
    void rampSurvives();
    void channelsMixed_data();
    void channelsMixed();
    void sameFormatKeepsBytes();
    void invalidFormatsGiveNothing();
};

void tst_PcmConverter::length_data()
{
    QTest::addColumn<qint64>("frames");
    QTest::addColumn<int>("fromRate");
    QTest::addColumn<int>("fromChannels");
    QTest::addColumn<int>("toRate");
    QTest::addColumn<int>("toChannels");
    QTest::addColumn<qsizetype>("bytes");

    QTest::newRow("1 s 44.1 kHz stereo to 16 kHz mono") << qint64(44100) << 44100 << 2 << 16000 << 1 << qsizetype(32000);
    QTest::newRow("1 s 48 kHz mono to 16 kHz mono") << qint64(48000) << 48000 << 1 << 16000 << 1 << qsizetype(32000);
    QTest::newRow("1 s 8 kHz mono to 16 kHz mono") << qint64(8000) << 8000 << 1 << 16000 << 1 << qsizetype(32000);
    QTest::newRow("1 s 22.05 kHz mono to 24 kHz stereo") << qint64(22050) << 22050 << 1 << 24000 << 2 << qsizetype(96000);
    QTest::newRow("1 s 16 kHz mono to 16 kHz stereo") << qint64(16000) << 16000 << 1 << 16000 << 2 << qsizetype(64000);
    // 0.5 s and a bit: the output is cut at whole output frames, never rounded up.
    QTest::newRow("22051 frames 44.1 kHz to 16 kHz") << qint64(22051) << 44100 << 1 << 16000 << 1 << qsizetype(8000 * 2);
    // An hour would drift by many samples if positions were stepped in floating point.
    QTest::newRow("10 min 44.1 kHz mono to 16 kHz mono") << qint64(44100) * 600 << 44100 << 1 << 16000 << 1 << qsizetype(16000 * 600 * 2);
    QTest::newRow("nothing") << qint64(0) << 44100 << 2 << 16000 << 1 << qsizetype(0);
}

void tst_PcmConverter::length()
{
    QFETCH(qint64, frames);
    QFETCH(int, fromRate);
    QFETCH(int, fromChannels);
    QFETCH(int, toRate);
    QFETCH(int, toChannels);
    QFETCH(qsizetype, bytes);

    const QByteArray input = generate(frames, fromChannels, [](qint64 frame, int) {
        return qint16(frame % 1000);
    });
    QCOMPARE(PcmConverter::convert(input, fromRate, fromChannels, toRate, toChannels).size(), bytes);
}

void tst_PcmConverter::constantSurvives_data()
{
    QTest::addColumn<int>("fromRate");
    QTest::addColumn<int>("fromChannels");
    QTest::addColumn<int>("toRate");
    QTest::addColumn<int>("toChannels");
    QTest::addColumn<int>("value");

    QTest::newRow("down, stereo to mono") << 44100 << 2 << 16000 << 1 << 1234;
    QTest::newRow("up, mono to stereo") << 22050 << 1 << 24000 << 2 << -2345;
    QTest::newRow("full scale negative") << 48000 << 2 << 16000 << 1 << -32768;
    QTest::newRow("full scale positive") << 8000 << 1 << 16000 << 1 << 32767;
}

void tst_PcmConverter::constantSurvives()
{
    QFETCH(int, fromRate);
    QFETCH(int, fromChannels);
    QFETCH(int, toRate);
    QFETCH(int, toChannels);
    QFETCH(int, value);

    const QByteArray input = generate(fromRate / 10, fromChannels, [value](qint64, int) {
        return qint16(value);
    });
    const QList<qint16> output = values(PcmConverter::convert(input, fromRate, fromChannels, toRate, toChannels));
    QVERIFY(!output.isEmpty());
    for (qsizetype i = 0; i < output.size(); ++i)
        QVERIFY2(output.at(i) == value, qPrintable(QStringLiteral("sample %1 is %2").arg(i).arg(output.at(i))));
}

void tst_PcmConverter::rampSurvives_data()
{
    QTest::addColumn<int>("fromRate");
    QTest::addColumn<int>("toRate");

    QTest::newRow("44.1 kHz to 16 kHz") << 44100 << 16000;
    QTest::newRow("8 kHz to 16 kHz") << 8000 << 16000;
    QTest::newRow("22.05 kHz to 24 kHz") << 22050 << 24000;
}

void tst_PcmConverter::rampSurvives()
{
    QFETCH(int, fromRate);
    QFETCH(int, toRate);

    // A straight line stays on the same line, in time as well as in value: an output
    // sample sits where its time falls between two input samples.
    const qint64 frames = fromRate / 2;
    const QByteArray input = generate(frames, 1, [](qint64 frame, int) {
        return qint16(frame - 10000);
    });
    const QList<qint16> output = values(PcmConverter::convert(input, fromRate, 1, toRate, 1));
    QCOMPARE(output.size(), qsizetype(frames * toRate / fromRate));
    for (qsizetype i = 0; i < output.size(); ++i) {
        const double expected = std::min(double(i) * fromRate / toRate, double(frames - 1)) - 10000;
        QVERIFY2(std::abs(output.at(i) - expected) <= 1.0,
                 qPrintable(QStringLiteral("sample %1 is %2, expected %3").arg(i).arg(output.at(i)).arg(expected)));
    }
}

void tst_PcmConverter::channelsMixed_data()
{
    QTest::addColumn<int>("fromChannels");
    QTest::addColumn<int>("toChannels");
    QTest::addColumn<QList<int>>("frame");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("stereo average") << 2 << 1 << QList<int>{1000, 3000} << QList<int>{2000};
    QTest::newRow("stereo opposite") << 2 << 1 << QList<int>{32767, -32767} << QList<int>{0};
    QTest::newRow("stereo full scale") << 2 << 1 << QList<int>{-32768, -32768} << QList<int>{-32768};
    QTest::newRow("six channels") << 6 << 1 << QList<int>{600, 0, 0, 0, 0, 0} << QList<int>{100};
    QTest::newRow("mono to stereo") << 1 << 2 << QList<int>{-1234} << QList<int>{-1234, -1234};
    QTest::newRow("stereo to stereo keeps sides") << 2 << 2 << QList<int>{100, -100} << QList<int>{100, -100};
}

void tst_PcmConverter::channelsMixed()
{
    QFETCH(int, fromChannels);
    QFETCH(int, toChannels);
    QFETCH(QList<int>, frame);
    QFETCH(QList<int>, expected);

    // A rate change as well, so that the mixing is seen through the resampling path.
    const QByteArray input = generate(4410, fromChannels, [&frame](qint64, int channel) {
        return qint16(frame.at(channel));
    });
    const QList<qint16> output = values(PcmConverter::convert(input, 44100, fromChannels, 16000, toChannels));
    QCOMPARE(output.size(), 1600 * toChannels);
    for (qsizetype i = 0; i < output.size(); ++i)
        QCOMPARE(int(output.at(i)), expected.at(i % toChannels));
}

void tst_PcmConverter::sameFormatKeepsBytes()
{
    const QByteArray input = generate(1000, 2, [](qint64 frame, int channel) {
        return qint16(frame * 31 + channel);
    });
    QCOMPARE(PcmConverter::convert(input, 16000, 2, 16000, 2), input);
    // Half a frame at the end is not audio.
    QCOMPARE(PcmConverter::convert(input + "\x01\x02\x03", 16000, 2, 16000, 2), input);
}

void tst_PcmConverter::invalidFormatsGiveNothing()
{
    const QByteArray input = generate(100, 1, [](qint64 frame, int) {
        return qint16(frame);
    });
    QVERIFY(PcmConverter::convert(input, 0, 1, 16000, 1).isEmpty());
    QVERIFY(PcmConverter::convert(input, 16000, 0, 16000, 1).isEmpty());
    QVERIFY(PcmConverter::convert(input, 16000, 1, 0, 1).isEmpty());
    QVERIFY(PcmConverter::convert(input, 16000, 1, 16000, 0).isEmpty());
}

QTEST_GUILESS_MAIN(tst_PcmConverter)
#include "tst_pcmconverter.moc"
