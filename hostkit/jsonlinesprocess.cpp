#include "jsonlinesprocess.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace HostKit
{
namespace
{
constexpr int KillTimeoutMs = 1000;
// Only the end of standard error is ever shown; a chatty program must not grow it for ever.
constexpr qsizetype ErrorOutputLimit = 64 * 1024;
} // namespace

JsonLinesProcess::JsonLinesProcess(QObject *parent)
    : QObject(parent)
{
}

JsonLinesProcess::~JsonLinesProcess()
{
    if (!mProcess || mProcess->state() == QProcess::NotRunning)
        return;
    mProcess->disconnect(this);
    mProcess->kill();
    mProcess->waitForFinished(KillTimeoutMs);
}

void JsonLinesProcess::start(const QString &program, const QStringList &arguments)
{
    if (mProcess)
        return;
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::readyReadStandardOutput, this, &JsonLinesProcess::readOutput);
    connect(mProcess, &QProcess::readyReadStandardError, this, [this] {
        mErrorOutput += mProcess->readAllStandardError();
        if (mErrorOutput.size() > ErrorOutputLimit)
            mErrorOutput = mErrorOutput.right(ErrorOutputLimit);
    });
    connect(mProcess, &QProcess::finished, this, &JsonLinesProcess::handleFinished);
    connect(mProcess, &QProcess::errorOccurred, this, &JsonLinesProcess::handleError);
    // Nothing is ever asked on standard input: a program that reads it sees its end.
    mProcess->start(program, arguments, QIODevice::ReadWrite);
    mProcess->closeWriteChannel();
}

bool JsonLinesProcess::isRunning() const
{
    return mProcess && mProcess->state() != QProcess::NotRunning;
}

void JsonLinesProcess::kill()
{
    if (isRunning())
        mProcess->kill();
}

QString JsonLinesProcess::lastErrorLine() const
{
    return lastLine(mErrorOutput);
}

QString JsonLinesProcess::lastLine(const QByteArray &output)
{
    const QList<QByteArray> lines = output.split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = QString::fromUtf8(*it).trimmed();
        if (!line.isEmpty())
            return line;
    }
    return {};
}

void JsonLinesProcess::readOutput()
{
    mPending += mProcess->readAllStandardOutput();
    qsizetype end;
    while ((end = mPending.indexOf('\n')) >= 0) {
        const QByteArray line = mPending.left(end);
        mPending.remove(0, end + 1);
        handleLine(line);
    }
}

void JsonLinesProcess::handleLine(const QByteArray &line)
{
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(trimmed, &error);
    if (error.error == QJsonParseError::NoError && document.isObject())
        Q_EMIT objectReceived(document.object());
    else
        Q_EMIT otherLineReceived(QString::fromUtf8(trimmed));
}

void JsonLinesProcess::handleFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readOutput();
    if (!mPending.isEmpty()) {
        // The last line may lack its line feed.
        const QByteArray rest = mPending;
        mPending.clear();
        handleLine(rest);
    }
    mErrorOutput += mProcess->readAllStandardError();
    const bool crashed = exitStatus != QProcess::NormalExit;
    report(exitCode, crashed, crashed ? mProcess->errorString() : QString());
}

void JsonLinesProcess::handleError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    report(-1, true, mProcess->errorString());
}

void JsonLinesProcess::report(int exitCode, bool crashed, const QString &errorString)
{
    mProcess->disconnect(this);
    mProcess->deleteLater();
    Q_EMIT finished(exitCode, crashed, errorString);
}
} // namespace HostKit
