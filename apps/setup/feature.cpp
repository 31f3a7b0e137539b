#include "feature.h"

#include <texttospeechkokoroutils.h>
#include <whisperspeechtotextutils.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

Feature::Feature(Kind kind)
    : mKind(kind)
{
}

std::optional<Feature> Feature::fromName(const QString &name)
{
    if (name == u"whisper"_s)
        return Feature(Kind::Whisper);
    if (name == u"kokoro"_s)
        return Feature(Kind::Kokoro);
    return std::nullopt;
}

QStringList Feature::names()
{
    return {u"whisper"_s, u"kokoro"_s};
}

Feature::Kind Feature::kind() const
{
    return mKind;
}

QString Feature::name() const
{
    return mKind == Kind::Whisper ? u"whisper"_s : u"kokoro"_s;
}

QString Feature::venvPath() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::defaultVenvPath() : TextToSpeechKokoroUtils::defaultVenvPath();
}

QString Feature::venvPython() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::venvPython() : TextToSpeechKokoroUtils::venvPython();
}

QString Feature::venvPip() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::venvPip() : TextToSpeechKokoroUtils::venvPip();
}

QString Feature::helperScript() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::pythonScript() : TextToSpeechKokoroUtils::pythonScript();
}

QString Feature::helperScriptPath() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::pythonScriptPath() : TextToSpeechKokoroUtils::pythonScriptPath();
}

QString Feature::systemPython() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::pythonVersion() : TextToSpeechKokoroUtils::pythonVersion();
}

QString Feature::systemPythonPath() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::pythonVersionPath() : TextToSpeechKokoroUtils::pythonVersionPath();
}

QStringList Feature::requiredModules() const
{
    return mKind == Kind::Whisper ? WhisperSpeechToTextUtils::requiredModules() : TextToSpeechKokoroUtils::requiredModules();
}
