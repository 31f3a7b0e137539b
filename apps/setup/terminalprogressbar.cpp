#include "terminalprogressbar.h"

#include <QLocale>
#include <QTextStream>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int BarWidth = 30;
constexpr int PercentPerPrintedStep = 10;
} // namespace

TerminalProgressBar::TerminalProgressBar(QTextStream *stream, bool terminal)
    : mStream(stream)
    , mTerminal(terminal)
{
}

void TerminalProgressBar::setLabel(const QString &label)
{
    mLabel = label;
}

void TerminalProgressBar::setUnit(Unit unit)
{
    mUnit = unit;
}

void TerminalProgressBar::setProgress(qint64 done, qint64 total, int percent)
{
    mDone = done;
    mTotal = total;
    if (percent >= 0 && percent <= 100)
        mPercent = percent;
    else if (total > 0)
        mPercent = int(qBound(qint64(0), done * 100 / total, qint64(100)));
    else
        mPercent = -1;
    mHasProgress = true;

    if (mTerminal)
        draw();
    else
        printIfDue();
}

void TerminalProgressBar::clear()
{
    if (!mTerminal || mDrawn.isEmpty())
        return;
    *mStream << '\r' << QString(mDrawn.size(), u' ') << '\r';
    mStream->flush();
    mDrawn.clear();
}

void TerminalProgressBar::redraw()
{
    if (mTerminal && mHasProgress)
        draw();
}

void TerminalProgressBar::finish()
{
    if (!mHasProgress)
        return;
    mHasProgress = false;
    if (mTerminal) {
        if (!mDrawn.isEmpty())
            print(QString());
        mDrawn.clear();
        return;
    }
    // The last few percent may not have made a step of their own.
    const QString last = text();
    if (last != mPrinted)
        print(last);
}

int TerminalProgressBar::percent() const
{
    return mPercent;
}

QString TerminalProgressBar::text() const
{
    const QString label = mLabel.isEmpty() ? QString() : mLabel + u"  "_s;
    if (mPercent < 0)
        return label + amountText();
    const int filled = mPercent * BarWidth / 100;
    const QString bar = QString(filled, u'#') + QString(BarWidth - filled, u'-');
    return label + u'[' + bar + u"] "_s + QString::number(mPercent).rightJustified(3) + u" %  "_s + amountText();
}

void TerminalProgressBar::draw()
{
    const QString line = text();
    if (line == mDrawn)
        return;
    // Blanks over whatever a longer previous line left behind.
    const qsizetype leftover = qMax(qsizetype(0), mDrawn.size() - line.size());
    *mStream << '\r' << line << QString(leftover, u' ');
    mStream->flush();
    mDrawn = line;
}

void TerminalProgressBar::printIfDue()
{
    bool due = false;
    if (mPercent >= 0) {
        const int step = mPercent / PercentPerPrintedStep;
        due = step > mPrintedStep;
        if (due)
            mPrintedStep = step;
    } else {
        // Without a total there are no tenths: print each time the amount has doubled.
        due = mPrintedDone < 0 || mDone >= 2 * qMax(mPrintedDone, qint64(1));
        if (due)
            mPrintedDone = mDone;
    }
    if (due)
        print(text());
}

void TerminalProgressBar::print(const QString &line)
{
    *mStream << line << '\n';
    mStream->flush();
    mPrinted = line;
}

QString TerminalProgressBar::amountText() const
{
    if (mUnit == Unit::Files) {
        if (mTotal > 0)
            return u"%1 of %2 files"_s.arg(mDone).arg(mTotal);
        return u"%1 files"_s.arg(mDone);
    }
    if (mTotal > 0)
        return u"%1 of %2"_s.arg(size(mDone), size(mTotal));
    return size(mDone);
}

QString TerminalProgressBar::size(qint64 bytes) const
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}
