#pragma once

#include "larynx_setup_export.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>

namespace TextEditTextToSpeech
{
// Fetches the chosen voices, and the model itself, through kokoro_helper.py, turning its
// event lines into progress and log messages. The helper's exit code decides the outcome;
// its standard error explains a failure.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroDownloadVoiceJob : public QObject
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroDownloadVoiceJob(QObject *parent = nullptr);
    ~TextToSpeechKokoroDownloadVoiceJob() override;

    void setVoices(const QStringList &voices);
    [[nodiscard]] bool downloadModel() const;
    void setDownloadModel(bool downloadModel);

    [[nodiscard]] bool canStart() const;
    void start();

Q_SIGNALS:
    void downloadVoicesDone();
    void downloadVoicesFailed();
    void downloadProgress(int index, int total);
    void downloadMessage(const QString &message);

private:
    void readOutput();
    void handleLine(const QByteArray &line);
    void handleFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void fail(const QString &message);

    QStringList mVoices;
    QByteArray mOutput;
    QByteArray mErrorOutput;
    // The message of the last "error" event, which explains a failure the helper's standard
    // error leaves unexplained.
    QString mLastEventError;
    QPointer<QProcess> mProcess;
    bool mDownloadModel = true;
};
} // namespace TextEditTextToSpeech
