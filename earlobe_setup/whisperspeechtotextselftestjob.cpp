#include "whisperspeechtotextselftestjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <jsonlinesprocess.h>
#include <translation.h>

#include <QJsonArray>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace
{
WhisperSpeechToTextSelfTestJob::Verdict verdictFrom(const QString &text)
{
    using Verdict = WhisperSpeechToTextSelfTestJob::Verdict;
    if (text == "live"_L1)
        return Verdict::LivePartials;
    if (text == "final"_L1)
        return Verdict::FinalTextOnly;
    if (text == "slow"_L1)
        return Verdict::TooSlow;
    return Verdict::Unknown;
}

WhisperSpeechToTextSelfTestJob::Problem problemFrom(const QString &text)
{
    using Problem = WhisperSpeechToTextSelfTestJob::Problem;
    if (text == "notDownloaded"_L1)
        return Problem::NotDownloaded;
    if (text == "notInstalled"_L1)
        return Problem::NotInstalled;
    return Problem::Failed;
}

QString verdictText(WhisperSpeechToTextSelfTestJob::Verdict verdict)
{
    using Verdict = WhisperSpeechToTextSelfTestJob::Verdict;
    switch (verdict) {
    case Verdict::LivePartials:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "fast enough for live partials");
    case Verdict::FinalTextOnly:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "fast enough for the final text only");
    case Verdict::TooSlow:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "too slow, try a smaller model");
    case Verdict::Unknown:
        break;
    }
    return {};
}

QStringList names(const QJsonArray &array)
{
    QStringList result;
    for (const QJsonValue &value : array) {
        const QString name = value.toString().trimmed();
        if (!name.isEmpty())
            result.append(name);
    }
    return result;
}

QString oneLine(const QString &text)
{
    return text.simplified();
}
} // namespace

WhisperSpeechToTextSelfTestJob::WhisperSpeechToTextSelfTestJob(QObject *parent)
    : QObject(parent)
    , mModel(WhisperSpeechToTextUtils::loadModel())
    , mDevice(WhisperSpeechToTextUtils::loadDevice())
    , mComputeType(WhisperSpeechToTextUtils::loadComputeType())
    , mLanguage(WhisperSpeechToTextUtils::loadLanguage())
{
}

// The process goes with its parent, this job, and is killed on the way.
WhisperSpeechToTextSelfTestJob::~WhisperSpeechToTextSelfTestJob() = default;

void WhisperSpeechToTextSelfTestJob::setModel(const QString &model)
{
    mModel = model;
}

QString WhisperSpeechToTextSelfTestJob::model() const
{
    return mModel;
}

void WhisperSpeechToTextSelfTestJob::setDevice(const QString &device)
{
    mDevice = device;
}

QString WhisperSpeechToTextSelfTestJob::device() const
{
    return mDevice;
}

void WhisperSpeechToTextSelfTestJob::setComputeType(const QString &computeType)
{
    mComputeType = computeType;
}

QString WhisperSpeechToTextSelfTestJob::computeType() const
{
    return mComputeType;
}

void WhisperSpeechToTextSelfTestJob::setLanguage(const QString &language)
{
    mLanguage = language;
}

QString WhisperSpeechToTextSelfTestJob::language() const
{
    return mLanguage;
}

bool WhisperSpeechToTextSelfTestJob::canStart() const
{
    return !WhisperSpeechToTextUtils::pythonScriptPath().isEmpty() && !WhisperSpeechToTextUtils::venvPython().isEmpty();
}

WhisperSpeechToTextSelfTestJob::Result WhisperSpeechToTextSelfTestJob::result() const
{
    return mResult;
}

QStringList WhisperSpeechToTextSelfTestJob::arguments() const
{
    QStringList arguments{u"selftest"_s};
    const auto add = [&arguments](const QString &option, const QString &value) {
        const QString trimmed = value.trimmed();
        if (!trimmed.isEmpty())
            arguments << option << trimmed;
    };
    add(u"--model"_s, mModel);
    add(u"--device"_s, mDevice);
    add(u"--compute-type"_s, mComputeType);
    add(u"--language"_s, mLanguage);
    return arguments;
}

QString WhisperSpeechToTextSelfTestJob::deviceName(const QString &device)
{
    if (device == "cpu"_L1)
        return HostKit::i18ndc(TRANSLATION_DOMAIN, "@info the processor", "CPU");
    if (device == "cuda"_L1)
        return HostKit::i18ndc(TRANSLATION_DOMAIN, "@info the graphics card", "GPU");
    return device;
}

void WhisperSpeechToTextSelfTestJob::start()
{
    if (mStarted)
        return;
    mStarted = true;
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextSelfTestJob";
        fail(HostKit::i18nd(TRANSLATION_DOMAIN, "its python environment or its helper script is missing. Install it first."));
        return;
    }
    mProcess = new HostKit::JsonLinesProcess(this);
    connect(mProcess, &HostKit::JsonLinesProcess::objectReceived, this, &WhisperSpeechToTextSelfTestJob::handleObject);
    connect(mProcess, &HostKit::JsonLinesProcess::otherLineReceived, this, [](const QString &line) {
        qCDebug(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper self-test said" << line;
    });
    connect(mProcess, &HostKit::JsonLinesProcess::finished, this, &WhisperSpeechToTextSelfTestJob::handleFinished);
    mProcess->start(WhisperSpeechToTextUtils::venvPython(), QStringList{WhisperSpeechToTextUtils::pythonScriptPath()} + arguments());
}

void WhisperSpeechToTextSelfTestJob::handleObject(const QJsonObject &object)
{
    const QString type = object.value("type"_L1).toString();
    if (type == "stage"_L1)
        handleStage(object);
    else if (type == "result"_L1 && !mHasResult)
        readResult(object);
}

void WhisperSpeechToTextSelfTestJob::handleStage(const QJsonObject &object)
{
    const QString stage = object.value("stage"_L1).toString();
    const QString device = object.value("device"_L1).toString();
    const QString computeType = object.value("computeType"_L1).toString();
    if (stage == "load"_L1) {
        // With nothing stored the helper picks the model: only its answer names it.
        mLoadedModel = object.value("model"_L1).toString(mModel);
        mLoadedDevice = device;
        mLoadedComputeType = computeType;
        Q_EMIT testMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Loading the %1 model…", mLoadedModel));
    } else if (stage == "fallback"_L1) {
        Q_EMIT testMessage(HostKit::i18nd(TRANSLATION_DOMAIN,
                                          "The %1 model cannot run on %2 with %3 (%4): dictation uses the CPU with int8 instead.", mLoadedModel,
                                          deviceName(mLoadedDevice), mLoadedComputeType, oneLine(object.value("reason"_L1).toString())));
    } else if (stage == "time"_L1) {
        Q_EMIT testMessage(
            HostKit::i18nd(TRANSLATION_DOMAIN, "Timing one pass over 30 s of audio on the %1 (%2)…", deviceName(device), computeType));
    }
}

void WhisperSpeechToTextSelfTestJob::readResult(const QJsonObject &object)
{
    mHasResult = true;
    Result &result = mResult;
    result.model = object.value("model"_L1).toString();
    result.device = object.value("device"_L1).toString();
    result.computeType = object.value("computeType"_L1).toString();
    result.passSeconds = object.value("passSeconds"_L1).toDouble();
    result.loadSeconds = object.value("loadSeconds"_L1).toDouble();
    result.requestedDevice = object.value("requestedDevice"_L1).toString();
    result.requestedComputeType = object.value("requestedComputeType"_L1).toString();
    result.fallbackReason = oneLine(object.value("fallbackReason"_L1).toString());
    result.error = oneLine(object.value("error"_L1).toString());
    result.verdict = verdictFrom(object.value("verdict"_L1).toString());
    // Only an answer that can be read to the end says that dictation works.
    result.works = object.value("ok"_L1).toBool(false) && result.verdict != Verdict::Unknown && object.value("passSeconds"_L1).isDouble()
        && !result.model.isEmpty() && !result.device.isEmpty();
    if (result.works)
        return;
    if (object.value("ok"_L1).toBool(false)) {
        result.problem = Problem::Failed;
        result.error = HostKit::i18nd(TRANSLATION_DOMAIN, "the test gave an answer that cannot be read");
        return;
    }
    result.problem = problemFrom(object.value("problem"_L1).toString());
    if (result.problem == Problem::NotDownloaded)
        result.missingModel = result.model.isEmpty() ? mModel : result.model;
    if (result.problem == Problem::NotInstalled) {
        result.missingModules = names(object.value("missing"_L1).toArray());
        if (result.missingModules.isEmpty())
            result.missingModules = WhisperSpeechToTextUtils::requiredModules();
    }
}

void WhisperSpeechToTextSelfTestJob::handleFinished(int exitCode, bool crashed, const QString &errorString)
{
    const QString lastError = mProcess ? mProcess->lastErrorLine() : QString();
    if (crashed) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper self-test stopped:" << errorString << lastError;
        fail(lastError.isEmpty() ? errorString : lastError);
        return;
    }
    const QString stopped = HostKit::i18nd(TRANSLATION_DOMAIN, "the test stopped with exit code %1", exitCode);
    if (!mHasResult || (mResult.works && exitCode != 0)) {
        fail(lastError.isEmpty() ? stopped : lastError);
        return;
    }
    if (mResult.problem == Problem::Failed && mResult.error.isEmpty())
        mResult.error = lastError.isEmpty() ? stopped : lastError;
    finish();
}

void WhisperSpeechToTextSelfTestJob::fail(const QString &reason)
{
    mResult.works = false;
    mResult.problem = Problem::Failed;
    mResult.error = oneLine(reason);
    finish();
}

void WhisperSpeechToTextSelfTestJob::finish()
{
    Result &result = mResult;
    switch (result.problem) {
    case Problem::None:
        result.summary = HostKit::i18nd(TRANSLATION_DOMAIN, "Dictation works: %1 on %2 (%3), %4 s per pass: %5.", result.model,
                                        deviceName(result.device), result.computeType, QString::number(result.passSeconds, 'f', 2),
                                        verdictText(result.verdict));
        break;
    case Problem::NotDownloaded:
        result.summary =
            HostKit::i18nd(TRANSLATION_DOMAIN, "Dictation cannot work yet: the %1 model is not downloaded. Download the %1 model first.",
                           result.missingModel);
        break;
    case Problem::NotInstalled:
        result.summary =
            HostKit::i18nd(TRANSLATION_DOMAIN, "Dictation cannot work yet: python modules are missing (%1). Install them first.",
                           result.missingModules.join(", "_L1));
        break;
    case Problem::Failed:
        result.summary = HostKit::i18nd(TRANSLATION_DOMAIN, "Dictation does not work: %1", result.error);
        break;
    }
    qCDebug(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "whisper self-test:" << result.summary;
    if (result.works)
        Q_EMIT testDone(result.summary);
    else
        Q_EMIT testFailed(result.summary);
    deleteLater();
}
