#pragma once

#include "earlobe_setup_export.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

// Asks the helper script in its "check" mode whether the whisper environment is usable, lacks
// python modules, or must be rebuilt. One-shot: start() once, one final signal, then the job
// deletes itself.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextCheckJob : public QObject
{
    Q_OBJECT
public:
    struct CheckResult {
        QStringList missing;
        QString python;
        int sampleRate = 0;
        int channels = 0;
        bool needReinstall = false;

        [[nodiscard]] bool isValid() const;
        [[nodiscard]] QString errorString() const;
    };

    explicit WhisperSpeechToTextCheckJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextCheckJob() override;

    [[nodiscard]] bool canStart() const;
    void start();

    [[nodiscard]] static CheckResult checkSynchronously(int timeout);
    [[nodiscard]] static CheckResult parseCheckResult(const QByteArray &data);

Q_SIGNALS:
    void needToReinstall();
    void packagesInstalled(const WhisperSpeechToTextCheckJob::CheckResult &result);
    void needToInstallPackages(const QStringList &missing);
};

Q_DECLARE_METATYPE(WhisperSpeechToTextCheckJob::CheckResult)
