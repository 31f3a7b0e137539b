#include "fuzzsupport.h"

#include <kokoroframedecoder.h>
#include <kokoromarkqueue.h>

#include <QJsonDocument>

using TextEditTextToSpeech::KokoroFrameDecoder;
using TextEditTextToSpeech::KokoroMarkQueue;

namespace
{
bool sameFrames(const QList<KokoroFrameDecoder::Frame> &left, const QList<KokoroFrameDecoder::Frame> &right)
{
    if (left.size() != right.size())
        return false;
    for (qsizetype i = 0; i < left.size(); ++i) {
        if (left.at(i).header != right.at(i).header || left.at(i).payload != right.at(i).payload)
            return false;
    }
    return true;
}

// The frames as a well-behaved helper would have written them.
QByteArray encode(const QList<KokoroFrameDecoder::Frame> &frames)
{
    QByteArray stream;
    for (const KokoroFrameDecoder::Frame &frame : frames) {
        stream += QJsonDocument(frame.header).toJson(QJsonDocument::Compact);
        stream += '\n';
        stream += frame.payload;
    }
    return stream;
}

// Every decoded header offered as a mark: what is taken must name a range of the text.
void checkMarks(const QList<KokoroFrameDecoder::Frame> &frames)
{
    using FuzzSupport::require;
    const QString text = QStringLiteral("Hi \U0001F30D there.");
    KokoroMarkQueue marks;
    marks.reset(text);
    qsizetype accepted = 0;
    for (const KokoroFrameDecoder::Frame &frame : frames)
        accepted += marks.append(frame.header) ? 1 : 0;
    for (; accepted > 0; --accepted) {
        require(!marks.isEmpty(), "every accepted mark is queued");
        const KokoroMarkQueue::Mark mark = marks.takeNext();
        require(mark.start >= 0 && mark.length >= 0 && mark.start + mark.length <= text.size(), "a mark names a range of the text");
        require(mark.sample >= 0, "a mark's sample is not negative");
        require(marks.textOf(mark).size() == mark.length, "a mark's text is its range");
    }
    require(marks.isEmpty(), "nothing is queued that was not accepted");
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

    KokoroFrameDecoder whole;
    const QList<KokoroFrameDecoder::Frame> frames = whole.decode(input.stream);
    require(whole.bufferedBytes() <= input.stream.size(), "no more bytes buffered than were read");

    KokoroFrameDecoder piecewise;
    QList<KokoroFrameDecoder::Frame> piecewiseFrames;
    const QList<QByteArray> reads = input.reads();
    for (const QByteArray &read : reads)
        piecewiseFrames += piecewise.decode(read);
    require(sameFrames(piecewiseFrames, frames), "many reads yield the frames of one read");
    require(piecewise.bufferedBytes() == whole.bufferedBytes(), "many reads leave as many bytes buffered as one read");

    const qsizetype consumed = input.stream.size() - whole.bufferedBytes();
    qint64 framedBytes = 0;
    for (const KokoroFrameDecoder::Frame &frame : frames) {
        const qint64 announced = frame.header.value("size"_L1).toInteger(0);
        require(frame.payload.size() == qMax<qint64>(0, announced), "a payload has exactly the announced size");
        // The shortest header line is "{}" or "[]" and its line feed.
        framedBytes += 3 + frame.payload.size();
    }
    require(framedBytes <= consumed, "frames never claim more bytes than were consumed");

    // A header whose payload is still coming is consumed already, so the consumed bytes on
    // their own must give the same frames and leave nothing buffered.
    KokoroFrameDecoder prefix;
    require(sameFrames(prefix.decode(input.stream.left(consumed)), frames) && prefix.bufferedBytes() == 0,
            "every consumed byte belongs to a frame or to the header of the pending one");

    whole.reset();
    require(whole.bufferedBytes() == 0, "reset empties the buffer");
    require(sameFrames(whole.decode(input.stream), frames), "a reset decoder decodes like a new one");

    checkMarks(frames);

    KokoroFrameDecoder reencoded;
    require(sameFrames(reencoded.decode(encode(frames)), frames) && reencoded.bufferedBytes() == 0,
            "re-encoded frames decode to themselves");
    return 0;
}
