#include "kokoroframedecoder.h"
#include "texttospeech_kokoro_debug.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
// No header comes anywhere near this; a line that grows beyond it without a line feed is
// garbage, and keeping it would let a broken helper make the host buffer without end.
constexpr qsizetype MaxHeaderLineBytes = 1024 * 1024;
} // namespace

QList<KokoroFrameDecoder::Frame> KokoroFrameDecoder::decode(const QByteArray &data)
{
    mBuffer.append(data);
    QList<Frame> frames;
    // Consumed bytes are only counted here and cut off once at the end, so a read holding
    // many small frames costs one pass over it, not one shift of the buffer per frame.
    qsizetype position = 0;
    while (true) {
        const qint64 available = mBuffer.size() - position;
        if (mPendingPayloadSize > 0) {
            // Compared with what is there, never added to a position: a helper may announce
            // any size up to the largest 64-bit number.
            if (available < mPendingPayloadSize)
                break;
            frames.append({std::exchange(mPendingHeader, {}), mBuffer.mid(position, mPendingPayloadSize)});
            position += mPendingPayloadSize;
            mPendingPayloadSize = 0;
            continue;
        }
        if (available == 0)
            break;
        const qsizetype lineFeed = mBuffer.indexOf('\n', position);
        if (mDiscardingLine) {
            position = lineFeed < 0 ? mBuffer.size() : lineFeed + 1;
            mDiscardingLine = lineFeed < 0;
            continue;
        }
        if (lineFeed < 0) {
            if (available > MaxHeaderLineBytes) {
                qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Dropping a header line longer than" << MaxHeaderLineBytes << "bytes";
                position = mBuffer.size();
                mDiscardingLine = true;
            }
            break;
        }
        // Dropped however it arrived, so that one read and many reads give the same frames.
        if (lineFeed - position > MaxHeaderLineBytes) {
            qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Dropping a header line longer than" << MaxHeaderLineBytes << "bytes";
            position = lineFeed + 1;
            continue;
        }
        const QByteArray line = mBuffer.mid(position, lineFeed - position);
        position = lineFeed + 1;

        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError) {
            qCWarning(TEXTTOSPEECH_KOKORO_LOG) << "Malformed frame:" << error.errorString() << line;
            continue;
        }
        const QJsonObject header = document.object();
        const qint64 size = header.value("size"_L1).toInteger(0);
        if (size > 0) {
            mPendingHeader = header;
            mPendingPayloadSize = size;
        } else {
            frames.append({header, {}});
        }
    }
    mBuffer.remove(0, position);
    return frames;
}

void KokoroFrameDecoder::reset()
{
    mBuffer.clear();
    mPendingHeader = {};
    mPendingPayloadSize = 0;
    mDiscardingLine = false;
}

qsizetype KokoroFrameDecoder::bufferedBytes() const
{
    return mBuffer.size();
}
} // namespace TextEditTextToSpeech
