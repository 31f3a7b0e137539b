#pragma once

#include "larynx_setup_export.h"

#include <QIcon>
#include <QList>
#include <QLocale>
#include <QMetaType>
#include <QString>
#include <QStringList>

namespace TextEditTextToSpeech
{
// Where the read-aloud feature keeps its things, what a complete environment contains, and
// which voices exist. Nothing is cached: the catalogue is rebuilt and the paths are looked up
// on every call, so an environment created or removed while the host runs is seen at once.
namespace TextToSpeechKokoroUtils
{
enum Gender : int {
    Male = 0,
    Female = 1,
    Unknown = 2,
};

enum VoiceFilter : int {
    // Leaves out the languages that are hidden unless asked for.
    Default = 0,
    All = 1,
};

struct KokoroVoice {
    QString identifier;
    QString name;
    QLocale locale;
    Gender gender = Gender::Unknown;
    bool hiddenByDefault = false;
};

[[nodiscard]] LARYNX_SETUP_EXPORT QList<KokoroVoice> kokoroVoices(VoiceFilter filter = VoiceFilter::Default);
[[nodiscard]] LARYNX_SETUP_EXPORT QList<QLocale> availableLocales(VoiceFilter filter = VoiceFilter::Default);
// The one-letter language code the helper script expects, or an empty string for a text
// that does not start with a known language letter.
[[nodiscard]] LARYNX_SETUP_EXPORT QString languageCode(const QString &voiceIdentifier);

[[nodiscard]] LARYNX_SETUP_EXPORT QStringList requiredModules();
[[nodiscard]] LARYNX_SETUP_EXPORT QString pythonScript();
[[nodiscard]] LARYNX_SETUP_EXPORT QString pythonScriptPath();
[[nodiscard]] LARYNX_SETUP_EXPORT QString pythonVersion();
[[nodiscard]] LARYNX_SETUP_EXPORT QString pythonVersionPath();

// The icon in front of a voice: its country's flag (or a badge with the country code when
// the font cannot draw the flag) with a gender badge in the corner, for a widget of the
// given device pixel ratio.
[[nodiscard]] LARYNX_SETUP_EXPORT QIcon voiceIcon(const KokoroVoice &voice, double devicePixelRatio);

[[nodiscard]] LARYNX_SETUP_EXPORT QString defaultVenvPath();
[[nodiscard]] LARYNX_SETUP_EXPORT QString defaultVenvPython();
[[nodiscard]] LARYNX_SETUP_EXPORT QString defaultVenvPip();
[[nodiscard]] LARYNX_SETUP_EXPORT QString venvPython();
[[nodiscard]] LARYNX_SETUP_EXPORT QString venvPip();

// The last line of a helper's standard error that holds more than white space, trimmed:
// the one line that says why it failed.
[[nodiscard]] LARYNX_SETUP_EXPORT QString lastErrorLine(const QByteArray &errorOutput);
} // namespace TextToSpeechKokoroUtils
} // namespace TextEditTextToSpeech

Q_DECLARE_TYPEINFO(TextEditTextToSpeech::TextToSpeechKokoroUtils::KokoroVoice, Q_RELOCATABLE_TYPE);
Q_DECLARE_METATYPE(TextEditTextToSpeech::TextToSpeechKokoroUtils::KokoroVoice)
