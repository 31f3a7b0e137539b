#pragma once

#include "hostkit_export.h"

#include <QObject>
#include <QString>

class QThread;

namespace HostKit
{
// Removes a folder with everything in it on a thread of its own, so that deleting a large tree
// does not stall the event loop, and reports the outcome with finished(). A path that is a
// symbolic link loses only the link, never what it points to; a path where nothing exists
// counts as removed. One removal per object: remove() while one runs is ignored.
class HOSTKIT_EXPORT FolderRemover : public QObject
{
    Q_OBJECT

public:
    explicit FolderRemover(QObject *parent = nullptr);
    // Waits for a removal still running: the caller may be about to put something new at
    // the same path.
    ~FolderRemover() override;

    void remove(const QString &path);
    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] QString path() const;

    // The blocking form, for callers that have no event loop.
    [[nodiscard]] static bool removeNow(const QString &path);

Q_SIGNALS:
    // Emitted on the thread the remover lives in, once per remove().
    void finished(bool removed);

private:
    void reportFinished();

    QString mPath;
    QThread *mThread = nullptr;
    bool mRemoved = false;
};
} // namespace HostKit
