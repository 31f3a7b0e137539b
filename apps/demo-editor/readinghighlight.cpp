#include "readinghighlight.h"

#include <QScrollBar>
#include <QTextEdit>

namespace
{
constexpr qreal SentenceTint = 0.22;
constexpr qreal WordTint = 0.55;

QColor tint(const QColor &base, const QColor &colour, qreal amount)
{
    return QColor::fromRgbF(float(base.redF() + (colour.redF() - base.redF()) * amount),
                            float(base.greenF() + (colour.greenF() - base.greenF()) * amount),
                            float(base.blueF() + (colour.blueF() - base.blueF()) * amount));
}

QTextEdit::ExtraSelection selection(const QTextCursor &range, const QColor &background)
{
    QTextEdit::ExtraSelection extra;
    extra.cursor = range;
    extra.format.setBackground(background);
    return extra;
}

// Moves bar the least that brings [low, high] (in viewport coordinates) inside [0, size),
// with a margin; a range larger than the view shows its beginning.
void scrollToShow(QScrollBar *bar, int low, int high, int size, int margin)
{
    if (low < 0 || high - low + 2 * margin > size)
        bar->setValue(bar->value() + low - margin);
    else if (high > size)
        bar->setValue(bar->value() + high - size + margin);
}
} // namespace

ReadingHighlight::ReadingHighlight(QTextEdit *editor)
    : mEditor(editor)
{
}

void ReadingHighlight::showSentence(const QTextCursor &range)
{
    mSentence = range;
    mWord = {};
    apply();
    keepInView(mSentence);
}

void ReadingHighlight::showWord(const QTextCursor &range)
{
    mWord = range;
    apply();
    keepInView(mWord);
}

void ReadingHighlight::clear()
{
    if (mSentence.isNull() && mWord.isNull())
        return;
    mSentence = {};
    mWord = {};
    apply();
}

void ReadingHighlight::apply()
{
    const QPalette palette = mEditor->palette();
    const QColor base = palette.color(QPalette::Base);
    const QColor highlight = palette.color(QPalette::Highlight);
    QList<QTextEdit::ExtraSelection> selections;
    if (!mSentence.isNull())
        selections.append(selection(mSentence, tint(base, highlight, SentenceTint)));
    // Drawn after the sentence, so it paints over it.
    if (!mWord.isNull())
        selections.append(selection(mWord, tint(base, highlight, WordTint)));
    mEditor->setExtraSelections(selections);
}

void ReadingHighlight::keepInView(const QTextCursor &range)
{
    if (range.isNull())
        return;
    // ensureCursorVisible() would need the user's cursor moved there; the scroll bars move instead.
    QTextCursor start(range);
    start.setPosition(range.selectionStart());
    QTextCursor end(range);
    end.setPosition(range.selectionEnd());
    const QRect rect = mEditor->cursorRect(start).united(mEditor->cursorRect(end));
    const QSize view = mEditor->viewport()->size();
    const int margin = mEditor->fontMetrics().lineSpacing();
    scrollToShow(mEditor->verticalScrollBar(), rect.top(), rect.bottom(), view.height(), margin);
    scrollToShow(mEditor->horizontalScrollBar(), rect.left(), rect.right(), view.width(), margin);
}
