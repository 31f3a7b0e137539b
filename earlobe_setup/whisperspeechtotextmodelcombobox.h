#pragma once

#include "earlobe_setup_export.h"
#include "whisperspeechtotextmodelsjob.h"

#include <QComboBox>
#include <QStringList>

// The combo box in which the user picks the whisper model for dictation. It fills itself from
// the helper's catalogue, marks the models already on disk in bold, and keeps the selection
// on the model the host asked for, else on the catalogue's default.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextModelComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextModelComboBox(QWidget *parent = nullptr);
    ~WhisperSpeechToTextModelComboBox() override;

    void fill();
    void refreshCachedModels();

    void setModels(const WhisperSpeechToTextModelsJob::ModelInfos &models);
    void setCachedModels(const QStringList &models);
    [[nodiscard]] bool cachedModelsKnown() const;
    [[nodiscard]] QStringList cachedModels() const;
    [[nodiscard]] bool isModelDownloaded(const QString &identifier) const;

    void setCurrentModel(const QString &identifier);
    [[nodiscard]] QString currentModel() const;

Q_SIGNALS:
    void currentModelChanged(const QString &identifier);
    void modelsLoaded();
    void modelsFailed();
    void cachedModelsLoaded();

private:
    void slotCurrentIndexChanged();
    void applyFont(int index, bool downloaded);

    WhisperSpeechToTextModelsJob::ModelInfos mModels;
    QStringList mCachedModels;
    bool mCachedModelsKnown = false;
    QString mWantedModel;
    QString mDefaultModel;
    bool mUpdating = false;
};
