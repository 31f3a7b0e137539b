#pragma once

#include <QString>

class QTextStream;

// The progress of a long download, written to a stream (standard error). On a terminal it
// is one line, rewritten in place with a carriage return. Anywhere else (a log file, a pipe)
// a line is printed only each time another tenth of the way is done, so the log stays short.
class TerminalProgressBar
{
public:
    enum class Unit {
        Bytes,
        Files,
    };

    TerminalProgressBar(QTextStream *stream, bool terminal);

    void setLabel(const QString &label);
    void setUnit(Unit unit);

    // A percent outside 0 to 100 is worked out from done and total; without a positive total
    // the progress is shown as the amount done only.
    void setProgress(qint64 done, qint64 total, int percent = -1);
    // Wipes the drawn line so that another line can be printed on the terminal; redraw()
    // brings it back.
    void clear();
    void redraw();
    // Leaves the last state on a line of its own.
    void finish();

    [[nodiscard]] int percent() const;
    [[nodiscard]] QString text() const;

private:
    void draw();
    void printIfDue();
    void print(const QString &line);
    [[nodiscard]] QString amountText() const;
    [[nodiscard]] QString size(qint64 bytes) const;

    QTextStream *mStream = nullptr;
    QString mLabel;
    Unit mUnit = Unit::Bytes;
    qint64 mDone = 0;
    qint64 mTotal = 0;
    int mPercent = -1;
    bool mTerminal = false;
    bool mHasProgress = false;
    // On a terminal: the line as drawn, empty when nothing is drawn.
    QString mDrawn;
    // Elsewhere: what was printed last, so that each step is printed once.
    QString mPrinted;
    int mPrintedStep = -1;
    qint64 mPrintedDone = -1;
};
