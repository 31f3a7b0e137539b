#include "readingtracker.h"

#include <QTextDocument>

#include <algorithm>

QString ReadingTracker::start(QTextDocument *document, int from, int to)
{
    clear();
    mRange = QTextCursor(document);
    mRange.setPosition(from);
    mRange.setPosition(to, QTextCursor::KeepAnchor);
    return restartAt(from);
}

QString ReadingTracker::restartAt(int position)
{
    if (!isActive())
        return {};
    mSpokenStart = cursorAt(position);
    mCurrentSentence = {};
    return spokenText();
}

void ReadingTracker::clear()
{
    mRange = {};
    mSpokenStart = {};
    mCurrentSentence = {};
    mReadSentences.clear();
}

bool ReadingTracker::isActive() const
{
    return !mRange.isNull();
}

bool ReadingTracker::hasCurrentSentence() const
{
    return !mCurrentSentence.isNull();
}

QTextCursor ReadingTracker::reachSentence(qsizetype start, qsizetype length)
{
    mCurrentSentence = rangeOf(start, length);
    if (!mCurrentSentence.isNull())
        mReadSentences.append(cursorAt(mCurrentSentence.selectionStart()));
    return mCurrentSentence;
}

QTextCursor ReadingTracker::rangeOf(qsizetype start, qsizetype length) const
{
    if (mSpokenStart.isNull() || start < 0 || length < 0)
        return {};
    const qsizetype last = mRange.document()->characterCount() - 1;
    const qsizetype from = std::min(mSpokenStart.position() + start, last);
    QTextCursor range = cursorAt(int(from));
    range.setPosition(int(std::min(from + length, last)), QTextCursor::KeepAnchor);
    return range;
}

std::optional<int> ReadingTracker::nextSentenceStart() const
{
    if (mCurrentSentence.isNull())
        return std::nullopt;
    const QTextDocument *document = mRange.document();
    const int end = mRange.selectionEnd();
    int position = mCurrentSentence.selectionEnd();
    // QChar::isSpace() takes in the paragraph separator that ends a block.
    while (position < end && document->characterAt(position).isSpace())
        ++position;
    if (position >= end)
        return std::nullopt;
    return position;
}

int ReadingTracker::previousSentenceStart() const
{
    const int current = currentStart();
    int previous = -1;
    for (const QTextCursor &sentence : mReadSentences) {
        if (sentence.position() < current)
            previous = std::max(previous, sentence.position());
    }
    return previous < 0 ? current : previous;
}

QTextCursor ReadingTracker::cursorAt(int position) const
{
    if (mRange.isNull())
        return {};
    QTextCursor cursor(mRange.document());
    cursor.setPosition(std::clamp(position, 0, mRange.document()->characterCount() - 1));
    return cursor;
}

int ReadingTracker::currentStart() const
{
    // Before the engine reaches the first sentence of what it was given, that text's start
    // is where the reading stands.
    return mCurrentSentence.isNull() ? mSpokenStart.position() : mCurrentSentence.selectionStart();
}

QString ReadingTracker::spokenText() const
{
    const int from = mSpokenStart.position();
    const int to = std::max(from, mRange.selectionEnd());
    // The document's plain text counts every character as a position does, a block's end
    // included (as a line feed), so the engine's offsets match positions one to one.
    return mRange.document()->toPlainText().mid(from, to - from);
}
