#pragma once

#include "command.h"

#include <whisperspeechtotextmodelsjob.h>

#include <QStringList>

#include <optional>

// "models": the whisper model catalogue as the helper script gives it, with each model's
// size and which models are the default, already downloaded, and chosen for dictation.
class ModelsCommand : public Command
{
    Q_OBJECT
public:
    explicit ModelsCommand(QObject *parent = nullptr);

    void start() override;

private:
    void startCachedModelsJob();
    void printWhenComplete();
    void printTable() const;
    void printNotes() const;
    [[nodiscard]] QStringList states(const WhisperSpeechToTextModelsJob::ModelInfo &model) const;

    std::optional<WhisperSpeechToTextModelsJob::ModelInfos> mModels;
    // Unset while the listing of downloaded models has not answered.
    std::optional<QStringList> mCachedModels;
    bool mCachedModelsKnown = false;
    QString mChosenModel;
};
