#pragma once

#include <QString>

#include <cstdio>

// The tool's two output streams. Results and the jobs' messages go to standard output,
// one line at a time and flushed at once, so that a log shows them as they happen;
// errors and progress go to standard error.
namespace Console
{
void out(const QString &line);
void error(const QString &line);
[[nodiscard]] bool isTerminal(FILE *stream);
} // namespace Console
