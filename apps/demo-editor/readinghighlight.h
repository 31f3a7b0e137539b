#pragma once

#include <QTextCursor>

class QTextEdit;

// Shows on a text edit what is being read: the sentence on a light background, the word on a
// stronger one, both tints of the palette's highlight over its base so that the text keeps
// its contrast in light and dark themes. The word (or, without words, the sentence) is kept
// in view by scrolling; the user's cursor and selection are never touched.
class ReadingHighlight
{
public:
    explicit ReadingHighlight(QTextEdit *editor);

    // A new sentence has no word shown until the voice reaches one.
    void showSentence(const QTextCursor &range);
    void showWord(const QTextCursor &range);
    void clear();

private:
    void apply();
    void keepInView(const QTextCursor &range);

    QTextEdit *const mEditor;
    QTextCursor mSentence;
    QTextCursor mWord;
};
