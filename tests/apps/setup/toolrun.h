#pragma once

#include <QProcessEnvironment>
#include <QStringList>

// One run of earlobe-larynx-setup as a separate process: its exit code and what it printed
// on each stream, cut into lines.
struct ToolRun {
    int exitCode = -1;
    QStringList out;
    QStringList err;

    // The test's own environment (its HOME and PATH) with the changes given; numbers and
    // sizes are printed in the C locale.
    static ToolRun run(const QStringList &arguments, const QProcessEnvironment &changes = {}, int timeoutMs = 30000);
    static ToolRun run(const QStringList &arguments, int timeoutMs);
    // Both streams, for a failure message.
    [[nodiscard]] QByteArray describe() const;
};
