#include "fuzzsupport.h"

#include <whisperspeechtotextcheckjob.h>

#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QByteArray output = FuzzSupport::bytes(data, size);
    const WhisperSpeechToTextCheckJob::CheckResult result = WhisperSpeechToTextCheckJob::parseCheckResult(output);

    const WhisperSpeechToTextCheckJob::CheckResult again = WhisperSpeechToTextCheckJob::parseCheckResult(output);
    require(again.missing == result.missing && again.python == result.python && again.sampleRate == result.sampleRate
                && again.channels == result.channels && again.needReinstall == result.needReinstall,
            "parsing is deterministic");

    require(result.isValid() == (!result.needReinstall && result.missing.isEmpty()), "isValid follows the fields");
    require(result.errorString().isEmpty() == result.isValid(), "only an unusable result explains itself");
    require(!(result.needReinstall && !result.missing.isEmpty()), "a broken environment lists no modules");
    for (const QString &name : result.missing)
        require(!name.isEmpty(), "no missing entry is empty");

    const QJsonObject object = QJsonDocument::fromJson(output).object();
    if (object.isEmpty())
        require(result.needReinstall && result.python.isEmpty() && result.sampleRate == 0 && result.channels == 0,
                "output without an object means a rebuild and nothing else");
    if (object.value("available"_L1).toBool(false))
        require(result.isValid(), "an available environment is valid whatever else it lists");
    else
        require(!result.isValid(), "an environment that is not available is never valid");
    return 0;
}
