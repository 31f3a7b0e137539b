#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

// SIGINT and SIGTERM, handled so that the tool leaves nothing behind. The handler only writes
// the signal's number into a pipe; the event loop reads it, passes the signal on to the
// tool's running children (pip, venv, a helper), and gives them a moment to end on their own.
// Then readyToEnd() asks the caller to destroy what it runs, whose jobs kill and reap what
// still lives, and to exit with 128 + the signal's number. A second signal cuts the wait short.
class Interruption : public QObject
{
    Q_OBJECT
public:
    explicit Interruption(QObject *parent = nullptr);
    // Puts the default actions back.
    ~Interruption() override;

    [[nodiscard]] bool isWatching() const;
    // A signal has arrived, though the event loop may not have seen it yet.
    [[nodiscard]] static bool signalReceived();

Q_SIGNALS:
    // The tool is being stopped: nothing it runs may start anything new from now on.
    void interrupted(int signal);
    void readyToEnd(int exitCode);

private:
    void readSignal();
    void checkChildren();
    void end();

    QSocketNotifier *mNotifier = nullptr;
    QTimer mPoll;
    QElapsedTimer mGrace;
    int mSignal = 0;
    bool mWatching = false;
};
