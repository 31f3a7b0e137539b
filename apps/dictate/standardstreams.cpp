#include "standardstreams.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
bool inputWasClosed = false;
bool outputWasClosed = false;

bool holdIfClosed(int fd, int flags)
{
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return false;
    const int null = open("/dev/null", flags);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
    return true;
}
} // namespace

void StandardStreams::hold()
{
    // In order, so that each /dev/null opened lands on the lowest number, the one it holds.
    inputWasClosed = holdIfClosed(STDIN_FILENO, O_WRONLY);
    outputWasClosed = holdIfClosed(STDOUT_FILENO, O_RDONLY);
    holdIfClosed(STDERR_FILENO, O_RDONLY);
    // A reader that goes away is a failed write to report, not a reason to die silently.
    std::signal(SIGPIPE, SIG_IGN);
}

bool StandardStreams::inputClosed()
{
    return inputWasClosed;
}

bool StandardStreams::outputClosed()
{
    return outputWasClosed;
}

bool StandardStreams::write(const QByteArray &text, QString *errorString)
{
    errno = 0;
    const bool written = std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size());
    const bool flushed = std::fflush(stdout) == 0;
    if (written && flushed)
        return true;
    const int error = errno;
    std::clearerr(stdout);
    if (errorString) {
        if (outputWasClosed)
            *errorString = u"standard output is closed"_s;
        else
            *errorString = error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : u"unknown error"_s;
    }
    return false;
}
