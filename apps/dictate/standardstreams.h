#pragma once

#include <QByteArray>
#include <QString>

// The standard streams as the tool found them. One that was closed is held by /dev/null,
// opened the wrong way round, so that no file the process opens later takes its number and
// receives the text meant for it, and so that using it still fails.
class StandardStreams
{
public:
    // Must run before anything opens a file, the event loop included.
    static void hold();

    [[nodiscard]] static bool inputClosed();
    [[nodiscard]] static bool outputClosed();

    // Writes text to standard output and flushes it. A full disk, a reader that went away
    // or a closed stream is told in errorString.
    static bool write(const QByteArray &text, QString *errorString);
};
