#pragma once

#include "hostkit_export.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

namespace HostKit
{
class FolderRemover;

// Makes a python virtual environment from scratch: an environment already at the path (a
// folder with pyvenv.cfg) goes first, off the calling thread, and so does a symbolic link,
// which loses only itself (see FolderRemover); then "PYTHON -m venv PATH" runs. Anything else
// at the path, a folder without pyvenv.cfg or a file, is left alone and the creation fails
// with a reason that names it. An interpreter that cannot be found fails at once and leaves
// the old environment alone. Exactly one of created() or failed() follows each create(),
// always from the event loop, never from inside create(). Only the exit decides: venv may
// print warnings and still have made the environment. What else a caller expects of the
// environment (pip, say) it checks itself. A failure is written as a warning, with all venv
// wrote on standard error, to the logging category the caller names; without one, to none.
class HOSTKIT_EXPORT VenvCreator : public QObject
{
    Q_OBJECT

public:
    enum class Failure {
        None,
        InterpreterMissing,
        RemovalFailed,
        NotAnEnvironment,
        CannotStart,
        VenvFailed,
        Crashed,
    };
    Q_ENUM(Failure)

    explicit VenvCreator(QObject *parent = nullptr);
    // Kills and reaps a venv still running, and waits for a removal still running.
    ~VenvCreator() override;

    // python is a path or a name looked up on PATH. One creation at a time: create() while
    // one runs is ignored.
    void create(const QString &python, const QString &path);
    void setLoggingCategory(QMessageLogger::CategoryFunction category);
    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] QString python() const;
    [[nodiscard]] QString path() const;

    // Why the last creation failed; None while it runs and after a success.
    [[nodiscard]] Failure failure() const;
    // venv's standard error as it wrote it, for a caller that logs all of it.
    [[nodiscard]] QByteArray errorOutput() const;

Q_SIGNALS:
    void created();
    // reason is one line: what failed and, where venv said why, its last line of standard error.
    void failed(const QString &reason);

private:
    // Why what stands at path must not be removed, or nothing when it may be.
    [[nodiscard]] static QString refusalToReplace(const QString &path);
    void removalFinished(bool removed);
    void runVenv();
    void venvFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void venvError(QProcess::ProcessError error);
    void fail(Failure failure, const QString &reason);
    void logFailure() const;
    void succeed();
    void endProcess();

    QString mPython;
    QString mProgram;
    QString mPath;
    QByteArray mErrorOutput;
    Failure mFailure = Failure::None;
    bool mRunning = false;
    QMessageLogger::CategoryFunction mCategory = nullptr;
    QPointer<FolderRemover> mRemover;
    QPointer<QProcess> mProcess;
};
} // namespace HostKit
