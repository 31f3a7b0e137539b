#include "texttospeechkokoroplugin.h"
#include "texttospeechkokoroengine.h"

namespace TextEditTextToSpeech
{
// The engine is always created: a missing environment is its Error state with a text that
// says how to install it, which an application can show, rather than a failed load.
QTextToSpeechEngine *TextToSpeechKokoroPlugin::createTextToSpeechEngine(const QVariantMap &parameters, QObject *parent, QString *errorString) const
{
    Q_UNUSED(parameters)
    Q_UNUSED(errorString)
    return new TextToSpeechKokoroEngine(parent);
}
} // namespace TextEditTextToSpeech
