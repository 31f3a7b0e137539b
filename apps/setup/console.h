#pragma once

#include <QString>

#include <cstdio>

// The tool's two output streams. Results and the jobs' messages go to standard output,
// one line at a time and flushed at once, so that a log shows them as they happen;
// errors and progress go to standard error. A write to standard output that fails (a full
// disk, a closed descriptor) is remembered, so that the tool can end with a failure rather
// than let a script believe it got the whole output.
namespace Console
{
// Run first: a standard descriptor closed at start is taken by /dev/null, so that no file the
// tool opens later lands on it, and a closed standard output counts as failed.
void open();
void out(const QString &line);
void error(const QString &line);
[[nodiscard]] bool isTerminal(FILE *stream);
// Why the first write to standard output failed, or nothing when none did.
[[nodiscard]] QString outputFailure();
} // namespace Console
