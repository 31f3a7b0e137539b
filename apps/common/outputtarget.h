#pragma once

#include <QString>

#include <memory>

class QFileDevice;
class QIODevice;

// Where a tool writes a result it has made: "-" is standard output; a regular file (or a
// new one) is replaced only once the result is complete, so that a failure never leaves a
// truncated file where a good one was; an existing FIFO or character device is written
// straight into, never replaced. Anything else at the path (a folder, a socket, a block
// device) is refused.
class OutputTarget
{
public:
    explicit OutputTarget(const QString &path);
    ~OutputTarget();
    OutputTarget(const OutputTarget &) = delete;
    OutputTarget &operator=(const OutputTarget &) = delete;

    // Call first thing in main(). A closed standard output would otherwise be taken by the
    // next file the program opens, and a result meant for it would land there; and a reader
    // that goes away must fail a write, not kill the program.
    static void prepareProcess();
    // Flushes what printf() wrote; false, with the reason, when any of it was lost.
    static bool flushStandardOutput(QString *errorString);

    [[nodiscard]] bool isStandardOutput() const;
    // The path, or "standard output".
    [[nodiscard]] QString name() const;
    // Why nothing could be written, found before any work is done; empty if it can.
    [[nodiscard]] QString problem() const;

    bool open();
    // Valid between open() and commit().
    [[nodiscard]] QIODevice *device() const;
    // Ends the write; false when any of it failed.
    bool commit();
    [[nodiscard]] QString errorString() const;

    // The whole of data, opened and committed at once.
    bool write(const QByteArray &data);

private:
    bool fail(const QString &reason);

    QString mPath;
    std::unique_ptr<QFileDevice> mDevice;
    QString mErrorString;
};
