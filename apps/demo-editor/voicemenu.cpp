#include "voicemenu.h"

#include <texttospeechkokoroutils.h>

#include <QActionGroup>
#include <QMap>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
QString languageTitle(const QLocale &locale)
{
    const QString language = QLocale::languageToString(locale.language());
    if (locale.territory() == QLocale::AnyTerritory)
        return language;
    return u"%1 (%2)"_s.arg(language, QLocale::territoryToString(locale.territory()));
}

QString genderText(TextToSpeechKokoroUtils::Gender gender)
{
    switch (gender) {
    case TextToSpeechKokoroUtils::Male:
        return u"male"_s;
    case TextToSpeechKokoroUtils::Female:
        return u"female"_s;
    case TextToSpeechKokoroUtils::Unknown:
        break;
    }
    return {};
}
} // namespace

VoiceMenu::VoiceMenu(QWidget *parent)
    : QMenu(u"&Voice"_s, parent)
    , mGroup(new QActionGroup(this))
{
    mGroup->setExclusive(true);
    connect(mGroup, &QActionGroup::triggered, this, [this](QAction *action) {
        Q_EMIT voiceSelected(action->data().toString());
    });
    fill();
}

VoiceMenu::~VoiceMenu() = default;

QString VoiceMenu::currentVoice() const
{
    const QAction *checked = mGroup->checkedAction();
    return checked ? checked->data().toString() : QString();
}

void VoiceMenu::setCurrentVoice(const QString &identifier)
{
    const auto actions = mGroup->actions();
    for (QAction *action : actions) {
        if (action->data().toString() == identifier) {
            action->setChecked(true);
            return;
        }
    }
}

void VoiceMenu::fill()
{
    // Languages in alphabetical order of their titles; voices in catalogue order within each.
    QMap<QString, QList<TextToSpeechKokoroUtils::KokoroVoice>> byLanguage;
    const auto voices = TextToSpeechKokoroUtils::kokoroVoices();
    for (const auto &voice : voices)
        byLanguage[languageTitle(voice.locale)].append(voice);

    for (auto it = byLanguage.cbegin(); it != byLanguage.cend(); ++it) {
        QMenu *languageMenu = addMenu(it.key());
        for (const auto &voice : it.value()) {
            const QString gender = genderText(voice.gender);
            QAction *action = languageMenu->addAction(TextToSpeechKokoroUtils::voiceIcon(voice, devicePixelRatioF()),
                                                      gender.isEmpty() ? voice.name : u"%1 (%2)"_s.arg(voice.name, gender));
            action->setCheckable(true);
            action->setData(voice.identifier);
            action->setObjectName(voice.identifier);
            mGroup->addAction(action);
        }
    }
}
