#include "console.h"

#include <unistd.h>

namespace
{
void writeLine(FILE *stream, const QString &line)
{
    std::fputs(line.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}
} // namespace

namespace Console
{
void out(const QString &line)
{
    writeLine(stdout, line);
}

void error(const QString &line)
{
    writeLine(stderr, line);
}

bool isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}
} // namespace Console
