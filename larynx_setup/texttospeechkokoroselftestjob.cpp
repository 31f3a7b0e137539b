#include "texttospeechkokoroselftestjob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokoroutils.h"

#include <jsonlinesprocess.h>
#include <translation.h>

#include <QJsonArray>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
bool isKnownVoice(const QString &voice)
{
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::All);
    return std::any_of(voices.cbegin(), voices.cend(), [&voice](const TextToSpeechKokoroUtils::KokoroVoice &known) {
        return known.identifier == voice;
    });
}

TextToSpeechKokoroSelfTestJob::Verdict verdictOf(const QString &text)
{
    if (text == "smooth"_L1)
        return TextToSpeechKokoroSelfTestJob::Verdict::Smooth;
    if (text == "tight"_L1)
        return TextToSpeechKokoroSelfTestJob::Verdict::Tight;
    if (text == "slow"_L1)
        return TextToSpeechKokoroSelfTestJob::Verdict::Slow;
    return TextToSpeechKokoroSelfTestJob::Verdict::Unknown;
}

TextToSpeechKokoroSelfTestJob::Problem problemOf(const QString &text)
{
    if (text == "notDownloaded"_L1)
        return TextToSpeechKokoroSelfTestJob::Problem::NotDownloaded;
    if (text == "missingPackages"_L1)
        return TextToSpeechKokoroSelfTestJob::Problem::MissingPackages;
    if (text == "notInstalled"_L1)
        return TextToSpeechKokoroSelfTestJob::Problem::NotInstalled;
    if (text == "badVoice"_L1)
        return TextToSpeechKokoroSelfTestJob::Problem::BadVoice;
    return TextToSpeechKokoroSelfTestJob::Problem::Failed;
}

QStringList stringsOf(const QJsonValue &value)
{
    QStringList strings;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array) {
        const QString text = entry.toString().trimmed();
        if (!text.isEmpty())
            strings.append(text);
    }
    return strings;
}

QString deviceName(const QString &device)
{
    if (device == "cpu"_L1)
        return HostKit::i18nd(TRANSLATION_DOMAIN, "CPU");
    if (device == "cuda"_L1 || device.startsWith("cuda:"_L1))
        return HostKit::i18nd(TRANSLATION_DOMAIN, "GPU");
    return device;
}

QString verdictText(TextToSpeechKokoroSelfTestJob::Verdict verdict)
{
    switch (verdict) {
    case TextToSpeechKokoroSelfTestJob::Verdict::Smooth:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "fast enough to read without pauses");
    case TextToSpeechKokoroSelfTestJob::Verdict::Tight:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "just fast enough: reading may pause while the computer is busy");
    case TextToSpeechKokoroSelfTestJob::Verdict::Slow:
        return HostKit::i18nd(TRANSLATION_DOMAIN, "too slow: reading will pause between sentences");
    case TextToSpeechKokoroSelfTestJob::Verdict::Unknown:
        break;
    }
    return {};
}

QString figure(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}
} // namespace

TextToSpeechKokoroSelfTestJob::TextToSpeechKokoroSelfTestJob(QObject *parent)
    : QObject(parent)
    , mVoice(u"af_heart"_s)
{
}

// The process goes with its parent, this job, and is killed on the way.
TextToSpeechKokoroSelfTestJob::~TextToSpeechKokoroSelfTestJob() = default;

void TextToSpeechKokoroSelfTestJob::setVoice(const QString &voice)
{
    mVoice = voice;
}

QString TextToSpeechKokoroSelfTestJob::voice() const
{
    return mVoice;
}

bool TextToSpeechKokoroSelfTestJob::canStart() const
{
    return !TextToSpeechKokoroUtils::pythonScriptPath().isEmpty() && !TextToSpeechKokoroUtils::venvPython().isEmpty();
}

TextToSpeechKokoroSelfTestJob::Result TextToSpeechKokoroSelfTestJob::result() const
{
    return mResult;
}

void TextToSpeechKokoroSelfTestJob::start()
{
    mResult = {};
    mResult.voice = mVoice;
    // Refused here rather than by the helper: a voice id from nowhere must not reach a
    // command line, and the answer is the same.
    if (!isKnownVoice(mVoice)) {
        finish(Problem::BadVoice);
        return;
    }
    if (!canStart()) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to start TextToSpeechKokoroSelfTestJob";
        if (TextToSpeechKokoroUtils::pythonScriptPath().isEmpty()) {
            finish(Problem::Failed, HostKit::i18nd(TRANSLATION_DOMAIN, "the helper %1 cannot be found", TextToSpeechKokoroUtils::pythonScript()));
        } else {
            mResult.missing = TextToSpeechKokoroUtils::requiredModules();
            finish(Problem::NotInstalled);
        }
        return;
    }
    mProcess = new HostKit::JsonLinesProcess(this);
    connect(mProcess, &HostKit::JsonLinesProcess::objectReceived, this, &TextToSpeechKokoroSelfTestJob::handleObject);
    connect(mProcess, &HostKit::JsonLinesProcess::finished, this, &TextToSpeechKokoroSelfTestJob::handleFinished);
    mProcess->start(TextToSpeechKokoroUtils::venvPython(), {TextToSpeechKokoroUtils::pythonScriptPath(), u"selftest"_s, mVoice});
}

void TextToSpeechKokoroSelfTestJob::handleObject(const QJsonObject &object)
{
    const QString type = object.value("type"_L1).toString();
    if (type == "stage"_L1)
        handleStage(object);
    else if (type == "result"_L1 && mResultObject.isEmpty())
        mResultObject = object;
}

void TextToSpeechKokoroSelfTestJob::handleStage(const QJsonObject &stage)
{
    const QString voice = stage.value("voice"_L1).toString(mVoice);
    const QString name = stage.value("stage"_L1).toString();
    if (name == "load"_L1)
        Q_EMIT testMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Loading the voice %1…", voice));
    else if (name == "time"_L1)
        Q_EMIT testMessage(HostKit::i18nd(TRANSLATION_DOMAIN, "Timing the synthesis of a test sentence with %1…", voice));
}

void TextToSpeechKokoroSelfTestJob::handleFinished(int exitCode, bool crashed, const QString &errorString)
{
    if (!mResultObject.isEmpty()) {
        readResult(mResultObject);
        return;
    }
    // No answer: the helper's own last words say best why, then the way it ended.
    QString reason = mProcess->lastErrorLine();
    if (reason.isEmpty())
        reason = crashed ? errorString : HostKit::i18nd(TRANSLATION_DOMAIN, "the test stopped with exit code %1", exitCode);
    finish(Problem::Failed, reason);
}

void TextToSpeechKokoroSelfTestJob::readResult(const QJsonObject &object)
{
    mResult.voice = object.value("voice"_L1).toString(mVoice);
    mResult.missing = stringsOf(object.value("missing"_L1));
    if (!object.value("ok"_L1).toBool()) {
        QString error = object.value("error"_L1).toString().trimmed();
        if (error.isEmpty())
            error = mProcess->lastErrorLine();
        finish(problemOf(object.value("problem"_L1).toString()), error);
        return;
    }
    mResult.device = object.value("device"_L1).toString(u"cpu"_s);
    mResult.loadSeconds = object.value("loadSeconds"_L1).toDouble();
    mResult.synthesisSeconds = object.value("synthesisSeconds"_L1).toDouble();
    mResult.audioSeconds = object.value("audioSeconds"_L1).toDouble();
    mResult.realTimeFactor = object.value("realTimeFactor"_L1).toDouble();
    mResult.verdict = verdictOf(object.value("verdict"_L1).toString());
    if (mResult.verdict == Verdict::Unknown) {
        finish(Problem::Failed, HostKit::i18nd(TRANSLATION_DOMAIN, "the test gave no verdict"));
        return;
    }
    finish(Problem::None);
}

void TextToSpeechKokoroSelfTestJob::finish(Problem problem, const QString &error)
{
    mResult.problem = problem;
    mResult.error = error;
    mResult.works = problem == Problem::None;
    const QString voice = mResult.voice;
    switch (problem) {
    case Problem::None:
        mResult.summary = HostKit::i18nd(TRANSLATION_DOMAIN,
                                         "Read-aloud works: %1 on %2, %3 s of speech in %4 s (real-time factor %5): %6.",
                                         voice,
                                         deviceName(mResult.device),
                                         figure(mResult.audioSeconds, 1),
                                         figure(mResult.synthesisSeconds, 1),
                                         figure(mResult.realTimeFactor, 2),
                                         verdictText(mResult.verdict));
        break;
    case Problem::NotDownloaded:
        mResult.summary =
            HostKit::i18nd(TRANSLATION_DOMAIN, "Read-aloud cannot work yet: the voice %1 is not downloaded. Download it first.", voice);
        break;
    case Problem::MissingPackages:
        mResult.summary = HostKit::i18nd(
            TRANSLATION_DOMAIN,
            "Read-aloud cannot work yet: the voice %1 needs python packages that are not installed (%2). Download the voice again to install them.",
            voice,
            mResult.missing.join(", "_L1));
        break;
    case Problem::NotInstalled:
        mResult.summary = HostKit::i18nd(TRANSLATION_DOMAIN,
                                         "Read-aloud cannot work yet: python modules are missing (%1). Install them first.",
                                         mResult.missing.join(", "_L1));
        break;
    case Problem::BadVoice:
        mResult.summary = HostKit::i18nd(TRANSLATION_DOMAIN, "Read-aloud cannot work: there is no voice %1.", voice);
        break;
    case Problem::Failed:
        mResult.summary = HostKit::i18nd(TRANSLATION_DOMAIN, "Read-aloud does not work: %1", error);
        break;
    }
    qCDebug(TEXTTOSPEECH_KOKOROINSTALL_LOG).noquote() << "Self-test of" << voice << ":" << mResult.summary;
    if (mResult.works)
        Q_EMIT testDone(mResult.summary);
    else
        Q_EMIT testFailed(mResult.summary);
    deleteLater();
}
} // namespace TextEditTextToSpeech
