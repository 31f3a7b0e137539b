#pragma once

#include "larynx_export.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>

namespace TextEditTextToSpeech
{
// Cuts the kokoro helper's standard output into frames: a JSON header line, then "size"
// payload bytes. Bytes may arrive in any pieces; a frame comes out once it is complete.
class LARYNX_EXPORT KokoroFrameDecoder
{
public:
    struct Frame {
        QJsonObject header;
        QByteArray payload;
    };

    // Takes the next bytes read and returns the frames they complete, in order.
    QList<Frame> decode(const QByteArray &data);
    void reset();

    [[nodiscard]] qsizetype bufferedBytes() const;

private:
    QByteArray mBuffer;
    QJsonObject mPendingHeader;
    qint64 mPendingPayloadSize = 0;
    // The rest of an overlong header line is being skipped up to its line feed.
    bool mDiscardingLine = false;
};
} // namespace TextEditTextToSpeech
