#include "kokoromarkqueue.h"

#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
// A JSON number that is a whole number from 0 up, or -1. Doubles hold integers exactly only up
// to 2^53, far beyond any text or stream length.
qint64 count(const QJsonValue &value)
{
    if (!value.isDouble())
        return -1;
    const double number = value.toDouble();
    if (!(number >= 0 && number <= double(1LL << 53)) || std::floor(number) != number)
        return -1;
    return qint64(number);
}
} // namespace

void KokoroMarkQueue::reset(const QString &text)
{
    mText = text;
    mMarks.clear();
}

void KokoroMarkQueue::clear()
{
    reset({});
}

bool KokoroMarkQueue::append(const QJsonObject &header)
{
    const QString kind = header.value("kind"_L1).toString();
    const qint64 start = count(header.value("start"_L1));
    const qint64 length = count(header.value("length"_L1));
    const qint64 sample = count(header.value("sample"_L1));
    if ((kind != "sentence"_L1 && kind != "word"_L1) || start < 0 || length < 0 || sample < 0)
        return false;
    if (start > mText.size() || length > mText.size() - start)
        return false;
    mMarks.append({sample, kind == "word"_L1, qsizetype(start), qsizetype(length)});
    return true;
}

bool KokoroMarkQueue::isEmpty() const
{
    return mMarks.isEmpty();
}

bool KokoroMarkQueue::nextIsBefore(qint64 sample) const
{
    return !mMarks.isEmpty() && mMarks.constFirst().sample < sample;
}

qint64 KokoroMarkQueue::nextSample() const
{
    return mMarks.isEmpty() ? std::numeric_limits<qint64>::max() : mMarks.constFirst().sample;
}

KokoroMarkQueue::Mark KokoroMarkQueue::takeNext()
{
    return mMarks.takeFirst();
}

QString KokoroMarkQueue::textOf(const Mark &mark) const
{
    return mText.mid(mark.start, mark.length);
}
} // namespace TextEditTextToSpeech
