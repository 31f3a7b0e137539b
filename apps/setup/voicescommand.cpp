#include "voicescommand.h"
#include "console.h"
#include "texttable.h"

#include <texttospeechkokoroutils.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
QString languageText(const QLocale &locale)
{
    return u"%1 (%2)"_s.arg(QLocale::languageToString(locale.language()), QLocale::territoryToString(locale.territory()));
}

QString genderText(TextToSpeechKokoroUtils::Gender gender)
{
    switch (gender) {
    case TextToSpeechKokoroUtils::Female:
        return u"female"_s;
    case TextToSpeechKokoroUtils::Male:
        return u"male"_s;
    case TextToSpeechKokoroUtils::Unknown:
        break;
    }
    return u"unknown"_s;
}
} // namespace

VoicesCommand::VoicesCommand(QObject *parent)
    : Command(parent)
{
}

void VoicesCommand::start()
{
    TextTable table({u"ID"_s, u"NAME"_s, u"LANGUAGE"_s, u"GENDER"_s});
    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices = TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::All);
    for (const TextToSpeechKokoroUtils::KokoroVoice &voice : voices)
        table.addRow({voice.identifier, voice.name, languageText(voice.locale), genderText(voice.gender)});
    const QStringList lines = table.lines();
    for (const QString &line : lines)
        Console::out(line);
    finish(Success);
}
