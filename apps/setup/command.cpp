#include "command.h"
#include "console.h"
#include "feature.h"

using namespace Qt::Literals::StringLiterals;

Command::Command(QObject *parent)
    : QObject(parent)
{
}

QString Command::programName()
{
    return u"earlobe-larynx-setup"_s;
}

QString Command::missingHelperText(const Feature &feature)
{
    return u"%1 was not found on PATH. It is installed into the bin folder of the installation prefix: add that folder to PATH."_s.arg(
        feature.helperScript());
}

void Command::abandon()
{
    mFinished = true;
    const QObjectList jobs = children();
    for (QObject *job : jobs)
        job->disconnect(this);
}

void Command::finish(int exitCode)
{
    // A job that fails while another one ends must not end the tool twice.
    if (mFinished)
        return;
    mFinished = true;
    Q_EMIT finished(exitCode);
}

bool Command::reportIfNotInstalled(const Feature &feature, bool needsEnvironment)
{
    if (feature.helperScriptPath().isEmpty()) {
        Console::error(missingHelperText(feature));
        return true;
    }
    if (needsEnvironment && feature.venvPython().isEmpty()) {
        Console::error(u"The %1 environment %2 does not exist yet. Create it with: %3 install %1"_s.arg(feature.name(), feature.venvPath(),
                                                                                                        programName()));
        return true;
    }
    return false;
}
