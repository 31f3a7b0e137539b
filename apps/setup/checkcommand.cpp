#include "checkcommand.h"
#include "console.h"

#include <texttospeechkokorocheckjob.h>
#include <whisperspeechtotextcheckjob.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
QString statusText(int exitCode)
{
    switch (exitCode) {
    case Command::Success:
        return u"usable"_s;
    case Command::NotInstalled:
        return u"not installed"_s;
    default:
        return u"not usable"_s;
    }
}

QString whisperErrorString(const QStringList &missing, bool needReinstall)
{
    WhisperSpeechToTextCheckJob::CheckResult result;
    result.missing = missing;
    result.needReinstall = needReinstall;
    return result.errorString();
}

QString kokoroErrorString(const QStringList &missing, bool needReinstall)
{
    TextToSpeechKokoroCheckJob::CheckResult result;
    result.missing = missing;
    result.needReinstall = needReinstall;
    return result.errorString();
}
} // namespace

CheckCommand::CheckCommand(const QList<Feature> &features, QObject *parent)
    : Command(parent)
    , mFeatures(features)
{
}

void CheckCommand::start()
{
    for (const Feature &feature : std::as_const(mFeatures)) {
        if (feature.kind() == Feature::Kind::Whisper)
            checkWhisper();
        else
            checkKokoro();
    }
}

void CheckCommand::checkWhisper()
{
    const Feature feature(Feature::Kind::Whisper);
    // The job would only answer "reinstall", which cannot bring the script onto PATH.
    if (feature.helperScriptPath().isEmpty()) {
        addReport(feature, NotInstalled, {whisperErrorString({}, true), missingHelperText(feature)});
        return;
    }

    auto job = new WhisperSpeechToTextCheckJob(this);
    connect(job, &WhisperSpeechToTextCheckJob::packagesInstalled, this,
            [this, feature](const WhisperSpeechToTextCheckJob::CheckResult &result) {
                QStringList lines;
                const QString python = feature.venvPython();
                lines.append(result.python.isEmpty() ? u"python: %1"_s.arg(python) : u"python: %1 (%2)"_s.arg(python, result.python));
                if (result.sampleRate > 0)
                    lines.append(u"audio: %1 Hz, %2 %3"_s.arg(result.sampleRate)
                                     .arg(result.channels)
                                     .arg(result.channels == 1 ? u"channel"_s : u"channels"_s));
                addReport(feature, Success, lines);
            });
    connect(job, &WhisperSpeechToTextCheckJob::needToInstallPackages, this, [this, feature](const QStringList &missing) {
        addReport(feature, NotInstalled, {whisperErrorString(missing, false), installHint(feature)});
    });
    connect(job, &WhisperSpeechToTextCheckJob::needToReinstall, this, [this, feature] {
        addReport(feature, JobFailed, {whisperErrorString({}, true), installHint(feature, u" --recreate"_s)});
    });
    job->start();
}

void CheckCommand::checkKokoro()
{
    const Feature feature(Feature::Kind::Kokoro);
    if (feature.helperScriptPath().isEmpty()) {
        addReport(feature, NotInstalled, {kokoroErrorString({}, true), missingHelperText(feature)});
        return;
    }

    auto job = new TextToSpeechKokoroCheckJob(this);
    connect(job, &TextToSpeechKokoroCheckJob::packagesInstalled, this, [this, feature] {
        addReport(feature, Success, {u"python: %1"_s.arg(feature.venvPython())});
    });
    connect(job, &TextToSpeechKokoroCheckJob::needToInstallPackages, this, [this, feature](const QStringList &missing) {
        QStringList lines{kokoroErrorString(missing, false)};
        // espeak-ng is a system program: pip cannot bring it, the package manager can.
        QStringList modules = missing;
        if (modules.removeAll(u"espeak-ng"_s) > 0)
            lines.append(u"espeak-ng is a system program: install it with the package manager, for example: sudo apt install espeak-ng"_s);
        if (!modules.isEmpty())
            lines.append(installHint(feature));
        addReport(feature, NotInstalled, lines);
    });
    connect(job, &TextToSpeechKokoroCheckJob::needToReinstall, this, [this, feature] {
        addReport(feature, JobFailed, {kokoroErrorString({}, true), installHint(feature, u" --recreate"_s)});
    });
    job->start();
}

void CheckCommand::addReport(const Feature &feature, int exitCode, const QStringList &lines)
{
    mReports.insert(feature.kind(), {exitCode, lines});
    printWhenComplete();
}

void CheckCommand::printWhenComplete()
{
    if (mReports.size() < mFeatures.size())
        return;

    int exitCode = Success;
    for (const Feature &feature : std::as_const(mFeatures)) {
        const Report report = mReports.value(feature.kind());
        Console::out(u"%1: %2"_s.arg(feature.name(), statusText(report.exitCode)));
        for (const QString &line : report.lines)
            Console::out(u"    "_s + line);
        exitCode = qMax(exitCode, report.exitCode);
    }
    finish(exitCode);
}

QString CheckCommand::installHint(const Feature &feature, const QString &options)
{
    return u"To fix it, run: %1 install %2%3"_s.arg(programName(), feature.name(), options);
}
