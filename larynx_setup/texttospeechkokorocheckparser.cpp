#include "texttospeechkokorocheckparser.h"
#include "texttospeechkokoroutils.h"

#include <translation.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
TextToSpeechKokoroCheckJob::CheckResult TextToSpeechKokoroCheckParser::parse(const QByteArray &data)
{
    return parse(data, {});
}

// Only an answer of the helper itself can say that something is missing. A helper that
// crashed, printed nothing or printed something else is broken, which a reinstall mends;
// reading its silence as "espeak-ng missing" would send the user to a package manager that
// has nothing to offer.
TextToSpeechKokoroCheckJob::CheckResult TextToSpeechKokoroCheckParser::parse(const QByteArray &data, const QByteArray &errorOutput)
{
    TextToSpeechKokoroCheckJob::CheckResult result;
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject()) {
        result.needReinstall = true;
        result.helperError = TextToSpeechKokoroUtils::lastErrorLine(errorOutput);
        if (result.helperError.isEmpty())
            result.helperError = HostKit::i18nd(TRANSLATION_DOMAIN, "The check printed no readable answer.");
        return result;
    }
    const QJsonObject object = document.object();
    if (object.value("available"_L1).toBool(false))
        return result;

    // An entry without a name cannot be installed: "pip install" of an empty name fails the
    // whole installation.
    const QJsonArray missing = object.value("missing"_L1).toArray();
    for (const QJsonValue &value : missing) {
        const QString module = value.toString().trimmed();
        if (!module.isEmpty())
            result.missing.append(module);
    }
    if (object.value("espeakNg"_L1).toString().isEmpty())
        result.missing.append(u"espeak-ng"_s);
    result.needReinstall = result.missing.isEmpty();
    if (result.needReinstall)
        result.helperError = TextToSpeechKokoroUtils::lastErrorLine(errorOutput);
    return result;
}
} // namespace TextEditTextToSpeech
