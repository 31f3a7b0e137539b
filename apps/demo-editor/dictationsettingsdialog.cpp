#include "dictationsettingsdialog.h"

#include <whisperspeechtotextmodelcombobox.h>
#include <whisperspeechtotextutils.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace
{
// Languages whisper recognises well; any other code can be typed in.
constexpr const char *const commonLanguages[] = {"ar", "cs", "da", "de", "el", "en", "es", "fi", "fr", "hi", "hu", "it",
                                                 "ja", "ko", "nl", "no", "pl", "pt", "ro", "ru", "sv", "tr", "uk", "zh"};

void fillLanguages(QComboBox *comboBox)
{
    comboBox->addItem(u"Detect automatically"_s, QString());
    for (const char *code : commonLanguages) {
        const QString language = QLocale::languageToString(QLocale(QString::fromLatin1(code)).language());
        comboBox->addItem(u"%1 (%2)"_s.arg(language, QString::fromLatin1(code)), QString::fromLatin1(code));
    }
}
} // namespace

DictationSettingsDialog::DictationSettingsDialog(QWidget *parent)
    : QDialog(parent)
    , mModelComboBox(new WhisperSpeechToTextModelComboBox(this))
    , mLanguageComboBox(new QComboBox(this))
    , mComputeTypeComboBox(new QComboBox(this))
    , mDeviceComboBox(new QComboBox(this))
{
    setWindowTitle(u"Dictation Settings"_s);
    mModelComboBox->setObjectName(u"modelComboBox"_s);
    mLanguageComboBox->setObjectName(u"languageComboBox"_s);
    mComputeTypeComboBox->setObjectName(u"computeTypeComboBox"_s);
    mDeviceComboBox->setObjectName(u"deviceComboBox"_s);

    fillLanguages(mLanguageComboBox);
    mComputeTypeComboBox->addItem(u"Default for the device"_s, QString());
    for (const QString &type : {u"int8"_s, u"int8_float16"_s, u"float16"_s, u"float32"_s})
        mComputeTypeComboBox->addItem(type, type);
    mDeviceComboBox->addItem(u"Automatic"_s, QString());
    mDeviceComboBox->addItem(u"Processor (cpu)"_s, u"cpu"_s);
    mDeviceComboBox->addItem(u"Graphics card (cuda)"_s, u"cuda"_s);

    // Seen when the catalogue cannot be read, which takes a working whisper setup.
    mModelComboBox->setPlaceholderText(u"No model list: set up dictation first"_s);
    mModelComboBox->setCurrentModel(WhisperSpeechToTextUtils::loadModel());
    mModelComboBox->fill();
    selectData(mLanguageComboBox, WhisperSpeechToTextUtils::loadLanguage());
    selectData(mComputeTypeComboBox, WhisperSpeechToTextUtils::loadComputeType());
    selectData(mDeviceComboBox, WhisperSpeechToTextUtils::loadDevice());

    auto form = new QFormLayout;
    form->addRow(u"&Model:"_s, mModelComboBox);
    form->addRow(u"&Language:"_s, mLanguageComboBox);
    form->addRow(u"&Compute type:"_s, mComputeTypeComboBox);
    form->addRow(u"&Device:"_s, mDeviceComboBox);

    auto buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(this, &QDialog::accepted, this, &DictationSettingsDialog::save);

    auto layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

DictationSettingsDialog::~DictationSettingsDialog() = default;

void DictationSettingsDialog::save() const
{
    // An empty chooser (the catalogue could not be read) must not wipe the stored model.
    if (!mModelComboBox->currentModel().isEmpty())
        WhisperSpeechToTextUtils::saveModel(mModelComboBox->currentModel());
    WhisperSpeechToTextUtils::saveLanguage(currentValue(mLanguageComboBox));
    WhisperSpeechToTextUtils::saveComputeType(currentValue(mComputeTypeComboBox));
    WhisperSpeechToTextUtils::saveDevice(currentValue(mDeviceComboBox));
}

void DictationSettingsDialog::selectData(QComboBox *comboBox, const QString &value)
{
    int index = comboBox->findData(value);
    if (index < 0) {
        // A value stored by another host or typed in elsewhere stays selectable.
        comboBox->addItem(value, value);
        index = comboBox->count() - 1;
    }
    comboBox->setCurrentIndex(index);
}

QString DictationSettingsDialog::currentValue(const QComboBox *comboBox)
{
    return comboBox->currentData().toString();
}
