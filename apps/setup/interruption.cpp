#include "interruption.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr int GraceMs = 1000;
constexpr int PollMs = 20;
const int WatchedSignals[] = {SIGINT, SIGTERM};

int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t receivedSignal = 0;

void handleSignal(int signal)
{
    const int savedErrno = errno;
    receivedSignal = signal;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal the loop will see.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &number, 1);
    errno = savedErrno;
}

// The tool's own children that have not ended yet; a zombie is ended, waiting to be reaped.
QList<pid_t> runningChildren()
{
    QList<pid_t> children;
    const QString self = QString::number(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) != "Z" && fields.at(1) == self.toLatin1())
            children.append(pid);
    }
    return children;
}
} // namespace

Interruption::Interruption(QObject *parent)
    : QObject(parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    mNotifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &Interruption::readSignal);
    mPoll.setInterval(PollMs);
    connect(&mPoll, &QTimer::timeout, this, &Interruption::checkChildren);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    mWatching = true;
    for (const int signal : WatchedSignals)
        mWatching = ::sigaction(signal, &action, nullptr) == 0 && mWatching;
}

Interruption::~Interruption()
{
    for (const int signal : WatchedSignals)
        ::signal(signal, SIG_DFL);
    delete mNotifier;
    for (int &fd : signalPipe) {
        if (fd != -1)
            ::close(fd);
        fd = -1;
    }
}

bool Interruption::isWatching() const
{
    return mWatching;
}

bool Interruption::signalReceived()
{
    return receivedSignal != 0;
}

void Interruption::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
        if (mSignal != 0) {
            end();
            return;
        }
        mSignal = number;
        Q_EMIT interrupted(mSignal);
        const QList<pid_t> children = runningChildren();
        for (const pid_t child : children)
            ::kill(child, mSignal);
        mGrace.start();
        mPoll.start();
    }
}

void Interruption::checkChildren()
{
    if (runningChildren().isEmpty() || mGrace.hasExpired(GraceMs))
        end();
}

void Interruption::end()
{
    if (!mPoll.isActive())
        return;
    mPoll.stop();
    Q_EMIT readyToEnd(128 + mSignal);
}
