#include "readinghighlight.h"

#include <QScrollBar>
#include <QTextEdit>

namespace
{
constexpr qreal SentenceTint = 0.22;
constexpr qreal WordTint = 0.55;
// Light enough that the sentence being read stands out inside the selection.
constexpr qreal SelectionOpacity = 0.15;

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

// Scrolls when [low, high] (viewport coordinates) is not all inside [0, size): its start then
// comes a third into the view, so that what follows is in sight too, or to the view's start
// when the range is too long for that.
void scrollToShow(QScrollBar *bar, int low, int high, int size)
{
    if (low >= 0 && high < size)
        return;
    const int lead = size / 3;
    bar->setValue(bar->value() + low - (high - low < size - lead ? lead : 0));
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
    const bool shown = !mSentence.isNull() || !mWord.isNull();
    if (!shown)
        washSelection(false);
    const QPalette palette = mPalette.value_or(mEditor->palette());
    const QColor base = palette.color(QPalette::Base);
    const QColor highlight = palette.color(QPalette::Highlight);
    QList<QTextEdit::ExtraSelection> selections;
    if (!mSentence.isNull())
        selections.append(selection(mSentence, tint(base, highlight, SentenceTint)));
    // Drawn after the sentence, so it paints over it.
    if (!mWord.isNull())
        selections.append(selection(mWord, tint(base, highlight, WordTint)));
    mEditor->setExtraSelections(selections);
    if (shown)
        washSelection(true);
}

void ReadingHighlight::washSelection(bool on)
{
    if (on == mPalette.has_value())
        return;
    if (!on) {
        mEditor->setPalette(*mPalette);
        mPalette.reset();
        return;
    }
    mPalette = mEditor->palette();
    QPalette washed = *mPalette;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        QColor highlight = washed.color(group, QPalette::Highlight);
        highlight.setAlphaF(SelectionOpacity);
        washed.setColor(group, QPalette::Highlight, highlight);
        washed.setColor(group, QPalette::HighlightedText, washed.color(group, QPalette::Text));
    }
    mEditor->setPalette(washed);
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
    scrollToShow(mEditor->verticalScrollBar(), rect.top(), rect.bottom(), view.height());
    scrollToShow(mEditor->horizontalScrollBar(), rect.left(), rect.right(), view.width());
}
