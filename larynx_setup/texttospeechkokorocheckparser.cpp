#include "texttospeechkokorocheckparser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
// Anything that is not a JSON object reads as an empty object, so a helper that printed
// nothing useful reports espeak-ng missing rather than a broken environment.
TextToSpeechKokoroCheckJob::CheckResult TextToSpeechKokoroCheckParser::parse(const QByteArray &data)
{
    TextToSpeechKokoroCheckJob::CheckResult result;
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    if (object.value("available"_L1).toBool(false))
        return result;

    // Entries are kept as they come, even unusable ones, so that a helper that lists
    // something is never taken for one that lists nothing.
    const QJsonArray missing = object.value("missing"_L1).toArray();
    for (const QJsonValue &value : missing)
        result.missing.append(value.toString());
    if (object.value("espeakNg"_L1).toString().isEmpty())
        result.missing.append(u"espeak-ng"_s);
    result.needReinstall = result.missing.isEmpty();
    return result;
}
} // namespace TextEditTextToSpeech
