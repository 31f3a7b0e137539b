#pragma once

#include "command.h"
#include "feature.h"

#include <QString>
#include <QStringList>

// "install": does what the install dialog does, on the command line. It creates the
// feature's virtual environment when there is none (or when asked to start over), then
// installs with pip what the environment lacks, printing pip's output line by line.
class InstallCommand : public Command
{
    Q_OBJECT
public:
    InstallCommand(const Feature &feature, bool recreate, QObject *parent = nullptr);

    void start() override;

private:
    void checkEnvironment();
    void environmentChecked(const QStringList &missing);
    void createEnvironment();
    [[nodiscard]] QString environmentFailureText() const;
    [[nodiscard]] static QString unwritableAncestor(const QString &path);
    void installModules(const QStringList &modules);
    void succeed();
    void fail(const QString &message);
    void printOutput(const QString &chunk);
    void flushOutput();
    void printLine(const QString &line);

    template<typename Job> void startCheckJob();
    template<typename Job> void startEnvironmentJob();
    template<typename Job> void startModuleJob(const QStringList &modules);

    Feature mFeature;
    bool mRecreate = false;
    // pip's output comes in pieces cut anywhere; lines are printed once they are whole.
    QString mPendingOutput;
    // Why the environment could not be made, in the job's words.
    QString mEnvironmentFailure;
};
