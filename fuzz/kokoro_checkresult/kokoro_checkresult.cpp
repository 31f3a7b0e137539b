#include "fuzzsupport.h"

#include <texttospeechkokorocheckparser.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using TextEditTextToSpeech::TextToSpeechKokoroCheckJob;
using TextEditTextToSpeech::TextToSpeechKokoroCheckParser;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QByteArray output = FuzzSupport::bytes(data, size);
    const TextToSpeechKokoroCheckJob::CheckResult result = TextToSpeechKokoroCheckParser::parse(output);

    const TextToSpeechKokoroCheckJob::CheckResult again = TextToSpeechKokoroCheckParser::parse(output);
    require(again.missing == result.missing && again.needReinstall == result.needReinstall, "parsing is deterministic");

    require(result.isValid() == (!result.needReinstall && result.missing.isEmpty()), "isValid follows the fields");
    require(result.errorString().isEmpty() == result.isValid(), "only an unusable result explains itself");

    const QJsonDocument document = QJsonDocument::fromJson(output);
    if (!document.isObject()) {
        require(result.needReinstall && result.missing.isEmpty(), "only an answer of the helper says what is missing");
        return 0;
    }
    const QJsonObject object = document.object();
    if (object.value("available"_L1).toBool(false)) {
        require(result.isValid(), "an available environment is valid whatever else it lists");
        return 0;
    }
    require(!result.isValid(), "an environment that is not available is never valid");
    require(result.needReinstall == result.missing.isEmpty(), "a rebuild is asked for exactly when nothing is listed");
    const bool espeakMissing = object.value("espeakNg"_L1).toString().isEmpty();
    if (espeakMissing)
        require(!result.missing.isEmpty() && result.missing.constLast() == u"espeak-ng"_s, "a missing espeak-ng comes last");
    qsizetype named = 0;
    const QJsonArray listed = object.value("missing"_L1).toArray();
    for (const QJsonValue &value : listed)
        named += value.toString().trimmed().isEmpty() ? 0 : 1;
    require(result.missing.size() == named + (espeakMissing ? 1 : 0), "every named module is kept, none is added");
    for (const QString &module : std::as_const(result.missing))
        require(!module.trimmed().isEmpty(), "no module without a name reaches pip");
    return 0;
}
