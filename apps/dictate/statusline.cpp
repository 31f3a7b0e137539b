#include "statusline.h"

#include <sys/ioctl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr int FallbackColumns = 80;
const char ClearToEndOfLine[] = "\x1b[K";
} // namespace

StatusLine::StatusLine(FILE *stream)
    : mStream(stream)
    , mTerminal(isatty(fileno(stream)) == 1)
{
}

void StatusLine::show(const QString &text)
{
    if (text == mText)
        return;
    mText = text;
    if (mTerminal)
        std::fprintf(mStream, "\r%s%s", qUtf8Printable(fitted(text)), ClearToEndOfLine);
    else
        std::fprintf(mStream, "%s\n", qUtf8Printable(text));
    std::fflush(mStream);
    mShowing = true;
}

void StatusLine::clear()
{
    if (mShowing && mTerminal) {
        std::fprintf(mStream, "\r%s", ClearToEndOfLine);
        std::fflush(mStream);
    }
    mShowing = false;
    mText.clear();
}

bool StatusLine::isTerminal() const
{
    return mTerminal;
}

int StatusLine::columns() const
{
    winsize size{};
    if (ioctl(fileno(mStream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return FallbackColumns;
}

QString StatusLine::fitted(const QString &text) const
{
    // A line that wraps cannot be rewritten with a carriage return; the newest words matter
    // most, so the start gives way.
    QString line = text;
    line.replace(u'\n', u' ');
    const int room = columns() - 1;
    if (line.size() <= room)
        return line;
    return u"…"_s + line.right(room - 1);
}
