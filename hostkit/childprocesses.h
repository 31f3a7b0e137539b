#pragma once

#include "hostkit_export.h"

class QObject;

namespace HostKit
{
// Kills every QProcess that owner holds as a direct child and still running, and reaps it
// before returning. A job calls it from its destructor: its processes would otherwise be
// destroyed while running, and a program that ignores the end of its pipes (pip, a stalled
// interpreter) would live on as an orphan.
HOSTKIT_EXPORT void endChildProcesses(QObject *owner);
} // namespace HostKit
