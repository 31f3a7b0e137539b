#pragma once

#include "earlobe_setup_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

// Downloads one whisper model ahead of its first use through whisper_helper.py, reporting
// progress and status lines as the helper prints its events. The helper's exit code alone
// decides whether the download succeeded.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextDownloadModelJob : public QObject
{
    Q_OBJECT
public:
    // One line of the helper's download output.
    struct DownloadEvent {
        QString type;
        QString model;
        QString message;
        QString path;
        qint64 received = 0;
        qint64 total = 0;
        int percent = -1;

        [[nodiscard]] bool isValid() const;
    };

    explicit WhisperSpeechToTextDownloadModelJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextDownloadModelJob() override;

    [[nodiscard]] QString model() const;
    void setModel(const QString &model);
    [[nodiscard]] bool wasCached() const;

    [[nodiscard]] bool canStart() const;
    void start();

    static DownloadEvent parseEvent(const QByteArray &line);

Q_SIGNALS:
    void downloadModelDone();
    void downloadModelFailed();
    void downloadProgress(int percent, qint64 received, qint64 total);
    void downloadMessage(const QString &message);

private:
    void readOutput();
    void handleEvent(const DownloadEvent &event);
    void handleFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void handleError(QProcess::ProcessError error);

    QString mModel;
    QByteArray mBuffer;
    QPointer<QProcess> mProcess;
    bool mWasCached = false;
};
