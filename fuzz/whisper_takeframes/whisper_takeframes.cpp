#include "fuzzsupport.h"

#include <whisperspeechtotextdevice.h>

#include <QJsonDocument>

namespace
{
qint64 payloadSize(const QJsonObject &header)
{
    return qMax<qint64>(0, header.value("size"_L1).toInteger(0));
}

// The frames as a well-behaved helper would have written them, payloads filled with zeros.
QByteArray encode(const QList<QJsonObject> &headers)
{
    QByteArray stream;
    for (const QJsonObject &header : headers) {
        stream += QJsonDocument(header).toJson(QJsonDocument::Compact);
        stream += '\n';
        stream += QByteArray(payloadSize(header), '\0');
    }
    return stream;
}

QList<QJsonObject> takeAll(QByteArray &buffer)
{
    return WhisperSpeechToTextDevice::takeFrames(buffer);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const FuzzSupport::ChunkedInput input = FuzzSupport::chunkedInput(data, size);

    QByteArray whole = input.stream;
    const QList<QJsonObject> frames = takeAll(whole);
    require(input.stream.endsWith(whole), "what stays buffered is the unread end of the stream");

    QByteArray pieces;
    QList<QJsonObject> piecewiseFrames;
    const QList<QByteArray> reads = input.reads();
    for (const QByteArray &read : reads) {
        pieces += read;
        piecewiseFrames += takeAll(pieces);
    }
    require(piecewiseFrames == frames, "many reads yield the frames of one read");
    require(pieces == whole, "many reads leave the bytes of one read buffered");

    const qsizetype consumed = input.stream.size() - whole.size();
    qint64 framedBytes = 0;
    for (const QJsonObject &header : frames) {
        require(!header.isEmpty(), "no empty header is returned");
        // The shortest header line is "{}" and its line feed.
        framedBytes += 3 + payloadSize(header);
    }
    require(framedBytes <= consumed, "frames never claim more bytes than were consumed");

    QByteArray prefix = input.stream.left(consumed);
    require(takeAll(prefix) == frames && prefix.isEmpty(), "every consumed byte belongs to a complete frame");

    QByteArray rest = whole;
    require(takeAll(rest).isEmpty() && rest == whole, "no complete frame is left behind");

    QByteArray encoded = encode(frames);
    require(takeAll(encoded) == frames && encoded.isEmpty(), "re-encoded frames decode to themselves");
    return 0;
}
