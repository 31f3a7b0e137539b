#pragma once

#include "larynx_export.h"

#include <QList>
#include <QString>

class QJsonObject;

namespace TextEditTextToSpeech
{
// The sentence and word marks of the request being spoken, waiting for the audio to reach
// them. A mark names a range of the request's text and the sample where its sound begins.
class LARYNX_EXPORT KokoroMarkQueue
{
public:
    struct Mark {
        qint64 sample = 0;
        bool word = false;
        qsizetype start = 0;
        qsizetype length = 0;
    };

    // Forgets every mark; later marks index `text`.
    void reset(const QString &text);
    void clear();

    // Queues the mark a "mark" frame describes; false, and nothing queued, when the frame does
    // not describe a range of the text and a sample.
    bool append(const QJsonObject &header);

    [[nodiscard]] bool isEmpty() const;
    // Whether the next mark's sound begins before `sample`.
    [[nodiscard]] bool nextIsBefore(qint64 sample) const;
    [[nodiscard]] qint64 nextSample() const;
    Mark takeNext();

    [[nodiscard]] QString textOf(const Mark &mark) const;

private:
    QString mText;
    QList<Mark> mMarks;
};
} // namespace TextEditTextToSpeech
