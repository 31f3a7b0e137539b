#include "outputtarget.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace
{
const QString StandardOutputPath = u"-"_s;

bool standardOutputWasClosed = false;

enum class Kind {
    Missing,
    RegularFile,
    Stream,
    Folder,
    Other,
};

Kind kindOf(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return Kind::Missing;
    if (S_ISREG(status.st_mode))
        return Kind::RegularFile;
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))
        return Kind::Stream;
    if (S_ISDIR(status.st_mode))
        return Kind::Folder;
    return Kind::Other;
}

QString otherKindName(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        if (S_ISSOCK(status.st_mode))
            return u"a socket"_s;
        if (S_ISBLK(status.st_mode))
            return u"a block device"_s;
    }
    return u"neither a file, a FIFO nor a character device"_s;
}
} // namespace

OutputTarget::OutputTarget(const QString &path)
    : mPath(path)
{
}

OutputTarget::~OutputTarget() = default;

void OutputTarget::prepareProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF)
        return;
    standardOutputWasClosed = true;
    const int placeholder = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (placeholder >= 0 && placeholder != STDOUT_FILENO) {
        ::dup2(placeholder, STDOUT_FILENO);
        ::close(placeholder);
    }
}

bool OutputTarget::flushStandardOutput(QString *errorString)
{
    const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    const int error = errno;
    if (flushed && !standardOutputWasClosed)
        return true;
    if (errorString)
        *errorString = u"Cannot write to standard output: %1"_s.arg(standardOutputWasClosed ? u"it is closed."_s
                                                                                           : QString::fromLocal8Bit(std::strerror(error)));
    return false;
}

bool OutputTarget::isStandardOutput() const
{
    return mPath == StandardOutputPath;
}

QString OutputTarget::name() const
{
    return isStandardOutput() ? u"standard output"_s : mPath;
}

QString OutputTarget::problem() const
{
    if (mPath.isEmpty())
        return u"No file name given."_s;
    if (isStandardOutput())
        return standardOutputWasClosed ? u"Cannot write to standard output: it is closed."_s : QString();
    const QFileInfo file(mPath);
    switch (kindOf(mPath)) {
    case Kind::Folder:
        return u"Cannot write %1: it is a folder."_s.arg(mPath);
    case Kind::Other:
        return u"Cannot write %1: it is %2."_s.arg(mPath, otherKindName(mPath));
    case Kind::Stream:
        return ::access(QFile::encodeName(mPath).constData(), W_OK) == 0 ? QString() : u"Cannot write %1: it is not writable."_s.arg(mPath);
    case Kind::RegularFile:
    case Kind::Missing:
        break;
    }
    const QFileInfo folder(file.absolutePath());
    if (!folder.isDir())
        return u"Cannot write %1: the folder %2 does not exist."_s.arg(mPath, folder.filePath());
    if (!folder.isWritable())
        return u"Cannot write %1: the folder %2 is not writable."_s.arg(mPath, folder.filePath());
    if (file.exists() && !file.isWritable())
        return u"Cannot write %1: the file is not writable."_s.arg(mPath);
    return {};
}

bool OutputTarget::open()
{
    mErrorString.clear();
    if (isStandardOutput()) {
        if (standardOutputWasClosed)
            return fail(u"it is closed."_s);
        auto file = std::make_unique<QFile>();
        if (!file->open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle))
            return fail(file->errorString());
        mDevice = std::move(file);
        return true;
    }
    switch (kindOf(mPath)) {
    case Kind::Stream: {
        // Replacing a FIFO or a device by a file would take it from everyone else who uses it.
        auto file = std::make_unique<QFile>(mPath);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return fail(file->errorString());
        mDevice = std::move(file);
        return true;
    }
    case Kind::Folder:
    case Kind::Other:
        mErrorString = problem();
        return false;
    case Kind::RegularFile:
    case Kind::Missing:
        break;
    }
    auto file = std::make_unique<QSaveFile>(mPath);
    if (!file->open(QIODevice::WriteOnly))
        return fail(file->errorString());
    mDevice = std::move(file);
    return true;
}

QIODevice *OutputTarget::device() const
{
    return mDevice.get();
}

bool OutputTarget::commit()
{
    if (!mDevice)
        return false;
    const std::unique_ptr<QFileDevice> device = std::move(mDevice);
    // A failed write leaves its reason on the device; a save file that saw one refuses to commit.
    const QString writeError = device->error() == QFileDevice::NoError ? QString() : device->errorString();
    if (auto *saveFile = qobject_cast<QSaveFile *>(device.get())) {
        if (!saveFile->commit())
            return fail(writeError.isEmpty() ? saveFile->errorString() : writeError);
        return true;
    }
    if (!writeError.isEmpty())
        return fail(writeError);
    if (!device->flush())
        return fail(device->errorString());
    device->close();
    return true;
}

QString OutputTarget::errorString() const
{
    return mErrorString;
}

bool OutputTarget::write(const QByteArray &data)
{
    if (!open())
        return false;
    mDevice->write(data);
    return commit();
}

bool OutputTarget::fail(const QString &reason)
{
    mDevice.reset();
    mErrorString = u"Cannot write %1: %2"_s.arg(isStandardOutput() ? u"to standard output"_s : mPath, reason);
    return false;
}
