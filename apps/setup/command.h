#pragma once

#include <QObject>

class Feature;

// One subcommand of the tool. It is started once from the event loop, runs the setup jobs
// it needs and ends with finished(), carrying the process's exit code.
class Command : public QObject
{
    Q_OBJECT
public:
    enum ExitCode : int {
        Success = 0,
        BadUsage = 1,
        NotInstalled = 2,
        JobFailed = 3,
    };

    explicit Command(QObject *parent = nullptr);

    virtual void start() = 0;
    // The tool is being stopped: what the running jobs report from now on is ignored, so that
    // a job ended by the stop starts nothing new, and finished() is not emitted any more.
    void abandon();

    [[nodiscard]] static QString programName();
    [[nodiscard]] static QString missingHelperText(const Feature &feature);

Q_SIGNALS:
    void finished(int exitCode);

protected:
    void finish(int exitCode);
    // Says on standard error what keeps the feature's helper from running, if anything:
    // the script not on PATH or, when the environment is needed, no environment yet.
    [[nodiscard]] bool reportIfNotInstalled(const Feature &feature, bool needsEnvironment);

private:
    bool mFinished = false;
};
