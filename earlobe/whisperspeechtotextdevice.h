#pragma once

#include "earlobe_export.h"

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

class QDebug;

// The dictation engine. The host writes 16-bit PCM audio into it between clear() and
// finish(); a long-lived whisper_helper.py turns the audio into text, which comes back
// through partialResult(), result() and doneListening().
class EARLOBE_EXPORT WhisperSpeechToTextDevice : public QIODevice
{
    Q_OBJECT
public:
    struct WhisperSpeechToTextDeviceInfo {
        QString model;
        QString language;
        QString computeType;
        QString device;
        QString prompt;
        bool partials = false;
    };

    explicit WhisperSpeechToTextDevice(QObject *parent = nullptr);
    ~WhisperSpeechToTextDevice() override;

    // Takes the settings for the next utterance and starts the helper if it is not running.
    // Returns whether a helper is running afterwards.
    bool initialize(WhisperSpeechToTextDeviceInfo &&info);
    [[nodiscard]] WhisperSpeechToTextDeviceInfo info() const;
    [[nodiscard]] bool available() const;

    void clear();
    void finish();

    [[nodiscard]] bool isSequential() const override;
    // Audio written but not yet taken by the helper's pipe; bytesWritten() follows as it
    // is taken, so a host feeding a file faster than real time can wait for the helper.
    [[nodiscard]] qint64 bytesToWrite() const override;

    // Removes the complete reply frames from the front of buffer and returns their headers.
    static QList<QJsonObject> takeFrames(QByteArray &buffer);

Q_SIGNALS:
    void result(const QString &text);
    void partialResult(const QString &text);
    void doneListening();
    void errorOccurred(const QString &message);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 len) override;

private:
    bool ensureProcess();
    void sendFrame(QJsonObject &command, const QByteArray &payload = {});
    void readProcessOutput();
    void readProcessError();
    void handleFrame(const QJsonObject &reply);
    void handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void stopProcess();
    void dropOverlongLine();
    [[nodiscard]] bool isCurrentUtterance(const QJsonObject &reply) const;

    WhisperSpeechToTextDeviceInfo mInfo;
    QByteArray mBuffer;
    QProcess *mProcess = nullptr;
    qint32 mUtteranceId = 0;
    bool mListening = false;
    bool mAvailable = true;
    bool mQuitting = false;
    // The rest of an overlong reply line is being skipped up to its line feed.
    bool mDiscardingLine = false;
};

EARLOBE_EXPORT QDebug operator<<(QDebug d, const WhisperSpeechToTextDevice::WhisperSpeechToTextDeviceInfo &info);
