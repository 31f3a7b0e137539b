#pragma once

#include <QString>

#include <cstdio>

// One line of passing information on a stream, such as the partial text of a dictation. On
// a terminal the line is rewritten in place; anywhere else (a log, a pipe) each new text
// gets a line of its own, so that nothing is lost and no control characters end up in files.
class StatusLine
{
public:
    explicit StatusLine(FILE *stream);

    void show(const QString &text);
    // Takes the line off a terminal again, so that what is printed next starts clean.
    void clear();

    [[nodiscard]] bool isTerminal() const;

private:
    [[nodiscard]] int columns() const;
    [[nodiscard]] QString fitted(const QString &text) const;

    FILE *mStream;
    QString mText;
    bool mTerminal = false;
    bool mShowing = false;
};
