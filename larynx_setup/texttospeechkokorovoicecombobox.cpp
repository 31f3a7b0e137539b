#include "texttospeechkokorovoicecombobox.h"
#include "texttospeechkokoroutils.h"

#include <translation.h>

#include <QAbstractItemView>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStandardItemModel>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
namespace
{
QString genderText(TextToSpeechKokoroUtils::Gender gender)
{
    switch (gender) {
    case TextToSpeechKokoroUtils::Gender::Male:
        return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:intext gender of a voice", "Male");
    case TextToSpeechKokoroUtils::Gender::Female:
        return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:intext gender of a voice", "Female");
    case TextToSpeechKokoroUtils::Gender::Unknown:
        break;
    }
    return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:intext gender of a voice", "Unknown");
}

QString languageText(const QLocale &locale)
{
    // Qt names languages and countries in English only; they are shown as they come.
    return HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:intext <language> (<country>)", "%1 (%2)",
                           QLocale::languageToString(locale.language()), QLocale::territoryToString(locale.territory()));
}

bool isTicked(const QStandardItem *item)
{
    return item->data(Qt::CheckStateRole).toInt() == Qt::Checked;
}
} // namespace

TextToSpeechKokoroVoiceComboBox::TextToSpeechKokoroVoiceComboBox(QWidget *parent)
    : QComboBox(parent)
    , mModel(new QStandardItemModel(this))
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    lineEdit()->setReadOnly(true);

    // view() creates the popup with its own filters; installed later, ours run first and can
    // keep a click on an entry from selecting it and closing the list.
    lineEdit()->installEventFilter(this);
    view()->installEventFilter(this);
    view()->viewport()->installEventFilter(this);

    const QList<TextToSpeechKokoroUtils::KokoroVoice> voices =
        TextToSpeechKokoroUtils::kokoroVoices(TextToSpeechKokoroUtils::VoiceFilter::Default);
    for (const TextToSpeechKokoroUtils::KokoroVoice &voice : voices) {
        const QString gender = genderText(voice.gender);
        auto item = new QStandardItem(
            HostKit::i18ndc(TRANSLATION_DOMAIN, "@item:inlistbox <voice name> (<gender>)", "%1 (%2)", voice.name, gender));
        item->setIcon(TextToSpeechKokoroUtils::voiceIcon(voice, devicePixelRatio()));
        item->setToolTip(HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:tooltip <voice name> (<language>, <gender>)", "%1 (%2, %3)", voice.name,
                                         languageText(voice.locale), gender));
        item->setData(voice.identifier, Qt::UserRole);
        item->setCheckable(true);
        item->setData(Qt::Unchecked, Qt::CheckStateRole);
        mModel->appendRow(item);
    }
    setModel(mModel);

    connect(mModel, &QStandardItemModel::dataChanged, this, &TextToSpeechKokoroVoiceComboBox::slotDataChanged);
    // A new current index puts that item's text into the field; the display puts it back.
    connect(this, &QComboBox::currentIndexChanged, this, &TextToSpeechKokoroVoiceComboBox::updateDisplay);
    updateDisplay();
}

TextToSpeechKokoroVoiceComboBox::~TextToSpeechKokoroVoiceComboBox() = default;

QStringList TextToSpeechKokoroVoiceComboBox::selectedVoices() const
{
    QStringList identifiers;
    for (int row = 0; row < mModel->rowCount(); ++row) {
        const QStandardItem *item = mModel->item(row);
        if (isTicked(item))
            identifiers.append(item->data(Qt::UserRole).toString());
    }
    return identifiers;
}

void TextToSpeechKokoroVoiceComboBox::setSelectedVoices(const QStringList &identifiers)
{
    // One change for the whole list, not one per item.
    mUpdating = true;
    for (int row = 0; row < mModel->rowCount(); ++row) {
        QStandardItem *item = mModel->item(row);
        const bool wanted = identifiers.contains(item->data(Qt::UserRole).toString(), Qt::CaseSensitive);
        item->setData(wanted ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    }
    mUpdating = false;
    updateDisplay();
    Q_EMIT selectedVoicesChanged(selectedVoices());
}

bool TextToSpeechKokoroVoiceComboBox::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lineEdit() && event->type() == QEvent::MouseButtonPress) {
        // The field is only a display: a click there means the user wants the list.
        showPopup();
        return true;
    }
    if (watched == view()->viewport() && event->type() == QEvent::MouseButtonRelease) {
        // Consumed even outside any entry, so that the popup neither picks a current item
        // nor closes: the user ticks several voices in a row.
        const auto mouseEvent = static_cast<QMouseEvent *>(event);
        toggle(view()->indexAt(mouseEvent->position().toPoint()));
        return true;
    }
    if (watched == view() && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Select) {
            toggle(view()->currentIndex());
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

void TextToSpeechKokoroVoiceComboBox::resizeEvent(QResizeEvent *event)
{
    QComboBox::resizeEvent(event);
    updateDisplay();
}

void TextToSpeechKokoroVoiceComboBox::updateDisplay()
{
    QStringList texts;
    for (int row = 0; row < mModel->rowCount(); ++row) {
        const QStandardItem *item = mModel->item(row);
        if (isTicked(item))
            texts.append(item->text());
    }
    const QString joined = texts.join(u", "_s);
    const QString text = texts.isEmpty() ? HostKit::i18ndc(TRANSLATION_DOMAIN, "@info:placeholder", "No voice selected") : joined;
    QLineEdit *edit = lineEdit();
    edit->setText(QFontMetrics(edit->font()).elidedText(text, Qt::ElideRight, edit->width()));
    setToolTip(joined);
}

void TextToSpeechKokoroVoiceComboBox::toggle(const QModelIndex &index)
{
    if (!index.isValid())
        return;
    // Toggled here rather than by the style: not every style toggles a checkable entry on a click.
    const bool ticked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    mModel->setData(index, ticked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

void TextToSpeechKokoroVoiceComboBox::slotDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    Q_UNUSED(topLeft)
    Q_UNUSED(bottomRight)
    if (mUpdating)
        return;
    if (!roles.isEmpty() && !roles.contains(Qt::CheckStateRole))
        return;
    updateDisplay();
    Q_EMIT selectedVoicesChanged(selectedVoices());
}
} // namespace TextEditTextToSpeech
