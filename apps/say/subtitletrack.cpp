#include "subtitletrack.h"

#include <outputtarget.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
qint64 toMilliseconds(qint64 ticks, qint64 ticksPerSecond)
{
    return (ticks * 1000 + ticksPerSecond / 2) / ticksPerSecond;
}

QString escaped(QStringView text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            result += u"&amp;"_s;
        else if (c == u'<')
            result += u"&lt;"_s;
        else if (c == u'>')
            result += u"&gt;"_s;
        else
            result += c;
    }
    return result;
}
} // namespace

SubtitleTrack::SubtitleTrack(const QString &text)
    : mText(text)
{
}

void SubtitleTrack::addSentence(qsizetype start, qsizetype length, qint64 time)
{
    if (start < 0 || length <= 0 || start + length > mText.size())
        return;
    mSentences.append(Sentence{{start, length, time}, {}});
}

void SubtitleTrack::addWord(qsizetype start, qsizetype length, qint64 time)
{
    if (mSentences.isEmpty())
        return;
    const Mark &sentence = mSentences.constLast().mark;
    if (start < sentence.start || length <= 0 || start + length > sentence.start + sentence.length)
        return;
    mSentences.last().words.append({start, length, time});
}

QByteArray SubtitleTrack::toWebVtt(qint64 endTime, qint64 ticksPerSecond) const
{
    QString vtt = u"WEBVTT\n"_s;
    for (qsizetype i = 0; i < mSentences.size(); ++i) {
        const qint64 start = toMilliseconds(mSentences.at(i).mark.time, ticksPerSecond);
        const qint64 end = toMilliseconds(i + 1 < mSentences.size() ? mSentences.at(i + 1).mark.time : endTime, ticksPerSecond);
        const QString text = cueText(mSentences.at(i), start, end, ticksPerSecond);
        // A sentence that took no time was not heard; a cue must end after it starts.
        if (end <= start || text.isEmpty())
            continue;
        vtt += u'\n' + timestamp(start) + u" --> "_s + timestamp(end) + u'\n' + text + u'\n';
    }
    return vtt.toUtf8();
}

QString SubtitleTrack::cueText(const Sentence &sentence, qint64 startMs, qint64 endMs, qint64 ticksPerSecond) const
{
    const qsizetype end = sentence.mark.start + sentence.mark.length;
    qsizetype position = sentence.mark.start;
    QString text;
    for (const Mark &word : sentence.words) {
        const qint64 time = toMilliseconds(word.time, ticksPerSecond);
        // A timestamp must fall inside its cue, after the one before it; the first word
        // usually starts with the sentence and needs none.
        if (word.start <= position || time <= startMs || time >= endMs)
            continue;
        text += escaped(QStringView(mText).mid(position, word.start - position)) + u'<' + timestamp(time) + u'>';
        position = word.start;
        startMs = time;
    }
    text += escaped(QStringView(mText).mid(position, end - position));
    // A blank line would end the cue; line breaks of the text are only where it was wrapped.
    return text.simplified();
}

bool SubtitleTrack::write(const QString &path, qint64 endTime, qint64 ticksPerSecond, QString *errorString) const
{
    OutputTarget target(path);
    if (target.write(toWebVtt(endTime, ticksPerSecond)))
        return true;
    if (errorString)
        *errorString = target.errorString();
    return false;
}

QString SubtitleTrack::timestamp(qint64 milliseconds)
{
    const qint64 hours = milliseconds / 3600000;
    const qint64 minutes = milliseconds / 60000 % 60;
    const qint64 seconds = milliseconds / 1000 % 60;
    return QString::asprintf("%02lld:%02lld:%02lld.%03lld", hours, minutes, seconds, milliseconds % 1000);
}
