#pragma once

#include "earlobe_setup_export.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>

// Finds out which whisper models are already on disk, from the helper's download mode for
// all models, which reports each model it finds with a "cached" event.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextCachedModelsJob : public QObject
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextCachedModelsJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextCachedModelsJob() override;

    [[nodiscard]] bool canStart() const;
    void start();

    static QStringList parseCachedModels(const QByteArray &data);

Q_SIGNALS:
    void cachedModelsLoaded(const QStringList &models);
    void cachedModelsFailed();

private:
    void handleFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleError(QProcess::ProcessError error);

    QPointer<QProcess> mProcess;
};
