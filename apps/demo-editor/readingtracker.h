#pragma once

#include <QList>
#include <QTextCursor>

#include <optional>

class QTextDocument;

// Where one reading is in the document: the range the user asked to hear, the start of the
// text last handed to the engine (whose offsets the engine reports), and the sentences
// reached so far. Every position is a text cursor, so that edits elsewhere in the document
// move it along and the engine's offsets still land on the words being spoken.
class ReadingTracker
{
public:
    // Begins a reading of [from, to) of document and returns the text to speak.
    QString start(QTextDocument *document, int from, int to);
    // Goes on with the same reading from position (within its range) and returns the text
    // to speak: the sentences already reached are kept.
    QString restartAt(int position);
    void clear();

    [[nodiscard]] bool isActive() const;
    [[nodiscard]] bool hasCurrentSentence() const;

    // The range of the document that the engine's offsets [start, start + length) stand for.
    // A sentence becomes the current one.
    QTextCursor reachSentence(qsizetype start, qsizetype length);
    [[nodiscard]] QTextCursor rangeOf(qsizetype start, qsizetype length) const;

    // The first non-blank after the current sentence, within the range; none at its end.
    [[nodiscard]] std::optional<int> nextSentenceStart() const;
    // The start of the sentence read in this reading that comes last before the current one,
    // or the current one's start when none does.
    [[nodiscard]] int previousSentenceStart() const;

private:
    [[nodiscard]] QTextCursor cursorAt(int position) const;
    [[nodiscard]] int currentStart() const;
    [[nodiscard]] QString spokenText() const;

    QTextCursor mRange;
    QTextCursor mSpokenStart;
    QTextCursor mCurrentSentence;
    QList<QTextCursor> mReadSentences;
};
