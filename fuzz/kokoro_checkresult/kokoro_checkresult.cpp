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

    const QJsonObject object = QJsonDocument::fromJson(output).object();
    if (object.value("available"_L1).toBool(false)) {
        require(result.isValid(), "an available environment is valid whatever else it lists");
        return 0;
    }
    require(!result.isValid(), "an environment that is not available is never valid");
    require(result.needReinstall == result.missing.isEmpty(), "a rebuild is asked for exactly when nothing is listed");
    const bool espeakMissing = object.value("espeakNg"_L1).toString().isEmpty();
    if (espeakMissing)
        require(!result.missing.isEmpty() && result.missing.constLast() == u"espeak-ng"_s, "a missing espeak-ng comes last");
    require(result.missing.size() == object.value("missing"_L1).toArray().size() + (espeakMissing ? 1 : 0),
            "every listed module is kept, none is added");
    return 0;
}
