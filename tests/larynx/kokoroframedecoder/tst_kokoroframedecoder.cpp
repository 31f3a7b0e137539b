#include <kokoroframedecoder.h>

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::Literals::StringLiterals;
using TextEditTextToSpeech::KokoroFrameDecoder;

namespace
{
QByteArray lf(const char *line)
{
    return QByteArray(line) + '\n';
}

// "header|payload in hex" for each frame, to compare whole frames at once.
QStringList describe(const QList<KokoroFrameDecoder::Frame> &frames)
{
    QStringList result;
    for (const KokoroFrameDecoder::Frame &frame : frames)
        result.append(QString::fromUtf8(QJsonDocument(frame.header).toJson(QJsonDocument::Compact) + '|' + frame.payload.toHex()));
    return result;
}
} // namespace

class tst_KokoroFrameDecoder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void decode_data();
    void decode();
    void sameFramesInAnyReadSizes();
    void payloadArrivingInThreeReads();
    void malformedLinesAreLoggedAndDropped_data();
    void malformedLinesAreLoggedAndDropped();
    void hugeSizeWaitsWithoutWrapping_data();
    void hugeSizeWaitsWithoutWrapping();
    void resetForgetsPendingFrame();
};

void tst_KokoroFrameDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<qsizetype>("buffered");

    QTest::newRow("two chunks in one read") << lf(R"({"id":1,"size":2,"type":"chunk"})") + "ab" + lf(R"({"id":1,"size":1,"type":"chunk"})")
            + "c" << QStringList{uR"({"id":1,"size":2,"type":"chunk"}|6162)"_s, uR"({"id":1,"size":1,"type":"chunk"}|63)"_s}
                                            << qsizetype(0);
    QTest::newRow("payload holding line feeds")
        << lf(R"({"size":3,"type":"chunk"})") + "\n\n\n" + lf(R"({"type":"end"})")
        << QStringList{uR"({"size":3,"type":"chunk"}|0a0a0a)"_s, uR"({"type":"end"}|)"_s} << qsizetype(0);
    QTest::newRow("size 0 and no size") << lf(R"({"size":0,"type":"chunk"})") + lf(R"({"type":"chunk"})")
                                        << QStringList{uR"({"size":0,"type":"chunk"}|)"_s, uR"({"type":"chunk"}|)"_s} << qsizetype(0);
    QTest::newRow("negative size") << lf(R"({"size":-3,"type":"chunk"})") << QStringList{uR"({"size":-3,"type":"chunk"}|)"_s}
                                   << qsizetype(0);
    QTest::newRow("a JSON array reaches the handler empty") << lf("[1,2]") << QStringList{u"{}|"_s} << qsizetype(0);
    QTest::newRow("incomplete header waits") << QByteArray(R"({"type":"en)") << QStringList() << qsizetype(11);
    QTest::newRow("incomplete payload waits") << lf(R"({"size":4,"type":"chunk"})") + "abc" << QStringList() << qsizetype(3);
}

void tst_KokoroFrameDecoder::decode()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, frames);
    QFETCH(qsizetype, buffered);

    KokoroFrameDecoder decoder;
    QCOMPARE(describe(decoder.decode(input)), frames);
    QCOMPARE(decoder.bufferedBytes(), buffered);
}

void tst_KokoroFrameDecoder::sameFramesInAnyReadSizes()
{
    QByteArray payload;
    for (int i = 0; i < 300; ++i)
        payload.append(char(i % 256));
    const QByteArray stream = lf(R"({"type":"ready"})") + lf(R"({"id":1,"sampleRate":24000,"type":"format"})")
        + lf(R"({"id":1,"size":300,"type":"chunk"})") + payload + lf(R"({"id":1,"type":"chunk"})")
        + lf(R"({"id":1,"size":1,"type":"chunk"})") + "\n" + lf(R"({"id":1,"type":"end"})");
    KokoroFrameDecoder whole;
    const QStringList expected = describe(whole.decode(stream));
    QCOMPARE(expected.size(), 6);

    for (int readSize : {1, 2, 3, 7, 64, 299, 301, 1000}) {
        KokoroFrameDecoder decoder;
        QStringList frames;
        for (qsizetype position = 0; position < stream.size(); position += readSize)
            frames += describe(decoder.decode(stream.mid(position, readSize)));
        QCOMPARE(frames, expected);
        QCOMPARE(decoder.bufferedBytes(), qsizetype(0));
    }
}

void tst_KokoroFrameDecoder::payloadArrivingInThreeReads()
{
    KokoroFrameDecoder decoder;
    QVERIFY(decoder.decode(lf(R"({"id":1,"size":6,"type":"chunk"})")).isEmpty());
    QVERIFY(decoder.decode("abc").isEmpty());
    const QList<KokoroFrameDecoder::Frame> frames = decoder.decode("def" + lf(R"({"id":1,"type":"end"})"));
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames.at(0).payload, "abcdef"_ba);
    QCOMPARE(frames.at(1).header.value("type"_L1).toString(), u"end"_s);
}

void tst_KokoroFrameDecoder::malformedLinesAreLoggedAndDropped_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("empty line") << QByteArray();
    QTest::newRow("not JSON") << "hello"_ba;
    QTest::newRow("truncated object") << R"({"type":"chunk")"_ba;
}

void tst_KokoroFrameDecoder::malformedLinesAreLoggedAndDropped()
{
    QFETCH(QByteArray, line);

    KokoroFrameDecoder decoder;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Malformed frame: "_s));
    const QList<KokoroFrameDecoder::Frame> frames = decoder.decode(line + '\n' + lf(R"({"type":"end"})"));
    QCOMPARE(describe(frames), QStringList{uR"({"type":"end"}|)"_s});
}

void tst_KokoroFrameDecoder::hugeSizeWaitsWithoutWrapping_data()
{
    QTest::addColumn<QByteArray>("size");
    QTest::newRow("largest 64-bit") << "9223372036854775807"_ba;
    QTest::newRow("largest minus one") << "9223372036854775806"_ba;
    QTest::newRow("beyond 64 bits reads as no payload") << "99999999999999999999"_ba;
}

void tst_KokoroFrameDecoder::hugeSizeWaitsWithoutWrapping()
{
    QFETCH(QByteArray, size);

    KokoroFrameDecoder decoder;
    const QByteArray header = R"({"id":1,"type":"chunk","size":)" + size + "}\n";
    const QByteArray rest = "abc" + lf(R"({"id":1,"type":"end"})");
    const bool beyond64Bits = size.size() > 19;
    if (beyond64Bits)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Malformed frame: "_s));
    const QList<KokoroFrameDecoder::Frame> first = decoder.decode(header + rest);
    if (beyond64Bits) {
        // Not a whole 64-bit number: no payload, so the following bytes are header lines.
        QCOMPARE(first.size(), 1);
        return;
    }
    QVERIFY(first.isEmpty());
    QVERIFY(decoder.decode(QByteArray(4096, 'x')).isEmpty());
    QCOMPARE(decoder.bufferedBytes(), rest.size() + 4096);
}

void tst_KokoroFrameDecoder::resetForgetsPendingFrame()
{
    KokoroFrameDecoder decoder;
    QVERIFY(decoder.decode(lf(R"({"id":1,"size":10,"type":"chunk"})") + "abc").isEmpty());
    decoder.reset();
    QCOMPARE(decoder.bufferedBytes(), qsizetype(0));
    QCOMPARE(describe(decoder.decode(lf(R"({"type":"ready"})"))), QStringList{uR"({"type":"ready"}|)"_s});
}

QTEST_GUILESS_MAIN(tst_KokoroFrameDecoder)
#include "tst_kokoroframedecoder.moc"
