#include "childprocesses.h"

#include <QProcess>

namespace HostKit
{
namespace
{
constexpr int KillTimeoutMs = 1000;
} // namespace

void endChildProcesses(QObject *owner)
{
    const QList<QProcess *> processes = owner->findChildren<QProcess *>(Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes) {
        if (process->state() == QProcess::NotRunning)
            continue;
        // The owner is going: none of its slots may run for this end.
        process->disconnect(owner);
        process->kill();
        process->waitForFinished(KillTimeoutMs);
    }
}
} // namespace HostKit
