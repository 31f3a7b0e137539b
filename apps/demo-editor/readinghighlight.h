#pragma once

#include <QPalette>
#include <QTextCursor>

#include <optional>

class QTextEdit;

// Shows on a text edit what is being read: the sentence on a light background, the word on a
// stronger one, both tints of the palette's highlight over its base so that the text keeps
// its contrast in light and dark themes. The word (or, without words, the sentence) is kept
// in view by scrolling; the user's cursor and selection are never touched. A selection is
// drawn over everything else, so while something is shown it becomes a translucent wash
// that lets the sentence and the word show through.
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
    void washSelection(bool on);
    void keepInView(const QTextCursor &range);

    QTextEdit *const mEditor;
    // The editor's own palette while the selection is washed.
    std::optional<QPalette> mPalette;
    QTextCursor mSentence;
    QTextCursor mWord;
};
