#pragma once

#include "larynx_setup_export.h"

#include <QComboBox>
#include <QStringList>

class QStandardItemModel;

namespace TextEditTextToSpeech
{
// A combo box turned into a multiple-choice list of the kokoro voices: the popup stays open
// while the user ticks voices, and the text field shows the ticked ones.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroVoiceComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroVoiceComboBox(QWidget *parent = nullptr);
    ~TextToSpeechKokoroVoiceComboBox() override;

    [[nodiscard]] QStringList selectedVoices() const;
    void setSelectedVoices(const QStringList &identifiers);

    bool eventFilter(QObject *watched, QEvent *event) override;

Q_SIGNALS:
    void selectedVoicesChanged(const QStringList &identifiers);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateDisplay();
    void toggle(const QModelIndex &index);
    void slotDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles);

    QStandardItemModel *const mModel;
    bool mUpdating = false;
};
} // namespace TextEditTextToSpeech
