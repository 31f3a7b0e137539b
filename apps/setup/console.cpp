#include "console.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace
{
int outputErrno = 0;

bool writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, bytes.size(), stream) == size_t(bytes.size()) && std::fflush(stream) == 0;
    if (!written) {
        const int error = errno != 0 ? errno : EIO;
        // A stream in error stays in error; what is still buffered cannot be written either.
        std::clearerr(stream);
        errno = error;
    }
    return written;
}

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}
} // namespace

namespace Console
{
void open()
{
    // A reader that goes away makes writes fail with EPIPE, which is reported and ends the
    // tool with exit code 3, instead of killing it without a word.
    ::signal(SIGPIPE, SIG_IGN);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (isOpen(fd))
            continue;
        if (fd == STDOUT_FILENO)
            outputErrno = EBADF;
        // The lowest free descriptor is the closed one itself.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null != -1 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

void out(const QString &line)
{
    if (outputErrno != 0)
        return;
    if (!writeLine(stdout, line))
        outputErrno = errno;
}

void error(const QString &line)
{
    // Nowhere is left to say that standard error failed.
    (void)writeLine(stderr, line);
}

bool isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

QString outputFailure()
{
    return outputErrno == 0 ? QString() : QString::fromLocal8Bit(std::strerror(outputErrno));
}
} // namespace Console
