#include "folderremover.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace HostKit
{
FolderRemover::FolderRemover(QObject *parent)
    : QObject(parent)
{
}

FolderRemover::~FolderRemover()
{
    if (mThread)
        mThread->wait();
}

void FolderRemover::remove(const QString &path)
{
    if (isRunning())
        return;
    mPath = path;
    mRemoved = false;
    // The thread only writes mRemoved; it is read after the thread has ended.
    mThread = QThread::create([this, path] {
        mRemoved = removeNow(path);
    });
    mThread->setParent(this);
    connect(mThread, &QThread::finished, this, &FolderRemover::reportFinished);
    mThread->start();
}

bool FolderRemover::isRunning() const
{
    return mThread != nullptr;
}

QString FolderRemover::path() const
{
    return mPath;
}

bool FolderRemover::removeNow(const QString &path)
{
    const QFileInfo info(path);
    // Called on a link to a directory, removeRecursively() would empty the directory the link
    // points to. A link, dangling or not, is removed as a link.
    if (info.isSymLink())
        return QFile::remove(path);
    if (info.isDir())
        return QDir(path).removeRecursively();
    return true;
}

void FolderRemover::reportFinished()
{
    mThread->wait();
    mThread->deleteLater();
    mThread = nullptr;
    Q_EMIT finished(mRemoved);
}
} // namespace HostKit
