#include "texttospeechkokoroutils.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringView>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace TextToSpeechKokoroUtils
{
namespace
{
struct Language {
    char16_t letter;
    const char *localeName;
    bool hiddenByDefault;
};

// The order is that of availableLocales() and of the groups in the voice table.
constexpr Language languages[] = {
    {u'a', "en_US", false}, {u'b', "en_GB", false}, {u'e', "es_ES", false}, {u'f', "fr_FR", false}, {u'h', "hi_IN", false},
    {u'i', "it_IT", false}, {u'p', "pt_BR", false}, {u'j', "ja_JP", true},  {u'z', "zh_CN", true},
};

// Language letter, gender letter, underscore, voice word. The order is what callers list and
// pick from, so it is kept as is: af_heart ahead of the alphabetical run, and the hidden
// languages last, which makes the default catalogue a prefix of the full one.
constexpr QStringView voiceIdentifiers[] = {
    // American English
    u"af_heart",
    u"af_alloy",
    u"af_aoede",
    u"af_bella",
    u"af_jessica",
    u"af_kore",
    u"af_nicole",
    u"af_nova",
    u"af_river",
    u"af_sarah",
    u"af_sky",
    u"am_adam",
    u"am_echo",
    u"am_eric",
    u"am_fenrir",
    u"am_liam",
    u"am_michael",
    u"am_onyx",
    u"am_puck",
    u"am_santa",
    // British English
    u"bf_alice",
    u"bf_emma",
    u"bf_isabella",
    u"bf_lily",
    u"bm_daniel",
    u"bm_fable",
    u"bm_george",
    u"bm_lewis",
    // Spanish
    u"ef_dora",
    u"em_alex",
    u"em_santa",
    // French
    u"ff_siwis",
    // Hindi
    u"hf_alpha",
    u"hf_beta",
    u"hm_omega",
    u"hm_psi",
    // Italian
    u"if_sara",
    u"im_nicola",
    // Brazilian Portuguese
    u"pf_dora",
    u"pm_alex",
    u"pm_santa",
    // Japanese
    u"jf_alpha",
    u"jf_gongitsune",
    u"jf_nezumi",
    u"jf_tebukuro",
    u"jm_kumo",
    // Chinese
    u"zf_xiaobei",
    u"zf_xiaoni",
    u"zf_xiaoxiao",
    u"zf_xiaoyi",
    u"zm_yunjian",
    u"zm_yunxi",
    u"zm_yunxia",
    u"zm_yunyang",
};

// Only the first character decides, and only once there is a second one: the helper needs
// the letter, nothing else of the identifier.
const Language *languageOf(QStringView identifier)
{
    if (identifier.size() < 2)
        return nullptr;
    const QChar first = identifier.front();
    for (const Language &language : languages) {
        if (first == QChar(language.letter))
            return &language;
    }
    return nullptr;
}

// Anything other than Default shows everything, so a value from a newer host still works.
bool isShown(const Language &language, VoiceFilter filter)
{
    return filter != VoiceFilter::Default || !language.hiddenByDefault;
}

QLocale localeOf(const Language &language)
{
    return QLocale(QLatin1StringView(language.localeName));
}

QString displayName(QStringView identifier)
{
    const qsizetype underscore = identifier.indexOf(u'_');
    if (underscore < 0 || underscore + 1 >= identifier.size())
        return identifier.toString();
    QString name = identifier.mid(underscore + 1).toString();
    name[0] = name.at(0).toUpper();
    return name;
}

QString existingOrNull(const QString &path)
{
    return QFileInfo::exists(path) ? path : QString();
}
} // namespace

QList<KokoroVoice> kokoroVoices(VoiceFilter filter)
{
    QList<KokoroVoice> voices;
    voices.reserve(std::size(voiceIdentifiers));
    for (const QStringView identifier : voiceIdentifiers) {
        const Language *language = languageOf(identifier);
        if (!language || !isShown(*language, filter))
            continue;
        KokoroVoice voice;
        voice.identifier = identifier.toString();
        voice.name = displayName(identifier);
        voice.locale = localeOf(*language);
        voice.gender = identifier.at(1) == u'f' ? Gender::Female : Gender::Male;
        voice.hiddenByDefault = language->hiddenByDefault;
        voices.append(voice);
    }
    return voices;
}

QList<QLocale> availableLocales(VoiceFilter filter)
{
    QList<QLocale> locales;
    locales.reserve(std::size(languages));
    for (const Language &language : languages) {
        if (isShown(language, filter))
            locales.append(localeOf(language));
    }
    return locales;
}

QString languageCode(const QString &voiceIdentifier)
{
    const Language *language = languageOf(voiceIdentifier);
    return language ? QString(QChar(language->letter)) : QString();
}

QStringList requiredModules()
{
    return {u"kokoro"_s, u"torch"_s};
}

QString pythonScript()
{
    return u"kokoro_helper.py"_s;
}

QString pythonScriptPath()
{
    return QStandardPaths::findExecutable(pythonScript());
}

QString pythonVersion()
{
    // The environment is created from this interpreter; the name alone fixes the version.
    return u"python3.11"_s;
}

QString pythonVersionPath()
{
    return QStandardPaths::findExecutable(pythonVersion());
}

QString defaultVenvPath()
{
    return QDir::homePath() + "/.venv/kokoro"_L1;
}

QString defaultVenvPython()
{
    return defaultVenvPath() + "/bin/python"_L1;
}

QString defaultVenvPip()
{
    return defaultVenvPath() + "/bin/pip"_L1;
}

QString venvPython()
{
    return existingOrNull(defaultVenvPython());
}

QString venvPip()
{
    return existingOrNull(defaultVenvPip());
}

QString lastErrorLine(const QByteArray &errorOutput)
{
    const QList<QByteArray> lines = errorOutput.split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString trimmed = QString::fromUtf8(*line).trimmed();
        if (!trimmed.isEmpty())
            return trimmed;
    }
    return {};
}
} // namespace TextToSpeechKokoroUtils
} // namespace TextEditTextToSpeech
