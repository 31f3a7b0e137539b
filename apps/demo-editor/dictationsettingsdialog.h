#pragma once

#include <QDialog>

class QComboBox;
class WhisperSpeechToTextModelComboBox;

// The dictation choices the library keeps for the user: model, language, compute type and
// device. They take effect with the next dictation.
class DictationSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit DictationSettingsDialog(QWidget *parent = nullptr);
    ~DictationSettingsDialog() override;

    void save() const;

private:
    static void selectData(QComboBox *comboBox, const QString &value);
    static QString currentValue(const QComboBox *comboBox);

    WhisperSpeechToTextModelComboBox *const mModelComboBox;
    QComboBox *const mLanguageComboBox;
    QComboBox *const mComputeTypeComboBox;
    QComboBox *const mDeviceComboBox;
};
