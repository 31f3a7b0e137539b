#pragma once

#include "earlobe_setup_export.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

class QDebug;

// Asks the helper script in its "models" mode for the whisper model catalogue. It may run before
// any virtual environment exists, with the system interpreter. One-shot: start() once, one final
// signal, then the job deletes itself.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextModelsJob : public QObject
{
    Q_OBJECT
public:
    struct ModelInfo {
        QString identifier;
        QString name;
        int sizeMib = 0;
        bool multilingual = false;
        bool isDefault = false;

        [[nodiscard]] bool isValid() const;
        [[nodiscard]] bool operator==(const ModelInfo &other) const;
    };
    using ModelInfos = QList<ModelInfo>;

    explicit WhisperSpeechToTextModelsJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextModelsJob() override;

    [[nodiscard]] bool canStart() const;
    void start();

    [[nodiscard]] static ModelInfos modelsSynchronously(int timeout);
    [[nodiscard]] static ModelInfos parseModels(const QByteArray &data);
    [[nodiscard]] static QString defaultModel(const ModelInfos &models);

Q_SIGNALS:
    void modelsLoaded(const WhisperSpeechToTextModelsJob::ModelInfos &models);
    void modelsFailed();

private:
    void handleFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleError(QProcess::ProcessError error);

    QPointer<QProcess> mProcess;
};

EARLOBE_SETUP_EXPORT QDebug operator<<(QDebug d, const WhisperSpeechToTextModelsJob::ModelInfo &info);

Q_DECLARE_METATYPE(WhisperSpeechToTextModelsJob::ModelInfo)
