#pragma once

#include "hostkit_export.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace HostKit
{
// Runs a program that answers with one JSON object per line on its standard output, and
// hands each object over as soon as its line is complete. Standard error is kept, so that
// the end can say why the program failed in its own last words. One run per object; the
// process is killed when the object goes away.
class HOSTKIT_EXPORT JsonLinesProcess : public QObject
{
    Q_OBJECT

public:
    explicit JsonLinesProcess(QObject *parent = nullptr);
    ~JsonLinesProcess() override;

    void start(const QString &program, const QStringList &arguments);
    [[nodiscard]] bool isRunning() const;
    // Ends a run at once; finished() still follows, as for a crash.
    void kill();

    // The last line of standard error that holds more than white space, trimmed.
    [[nodiscard]] QString lastErrorLine() const;
    [[nodiscard]] static QString lastLine(const QByteArray &output);

Q_SIGNALS:
    void objectReceived(const QJsonObject &object);
    // A line that is not a JSON object; it is passed on rather than lost.
    void otherLineReceived(const QString &line);
    // Emitted once per start(): crashed is true when the program was killed or could not
    // start, and errorString then says why.
    void finished(int exitCode, bool crashed, const QString &errorString);

private:
    void readOutput();
    void handleLine(const QByteArray &line);
    void handleFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleError(QProcess::ProcessError error);
    void report(int exitCode, bool crashed, const QString &errorString);

    QPointer<QProcess> mProcess;
    QByteArray mPending;
    QByteArray mErrorOutput;
};
} // namespace HostKit
