#pragma once

#include "earlobe_setup_export.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QJsonObject;

namespace HostKit
{
class JsonLinesProcess;
}

// Asks the helper script in its "selftest" mode whether dictation works on this machine and
// how fast: it loads the model, times one pass over a full window of audio, and answers in one
// line. One-shot: start() once, one final signal (testDone or testFailed), then the job deletes
// itself.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextSelfTestJob : public QObject
{
    Q_OBJECT
public:
    enum class Verdict {
        Unknown,
        LivePartials,
        FinalTextOnly,
        TooSlow,
    };

    enum class Problem {
        None,
        NotDownloaded,
        NotInstalled,
        Failed,
    };

    struct Result {
        bool works = false;
        Verdict verdict = Verdict::Unknown;
        Problem problem = Problem::None;
        QString model;
        QString device;
        QString computeType;
        double passSeconds = 0.0;
        double loadSeconds = 0.0;
        // Set when the configured device failed and the test ran on the CPU instead.
        QString requestedDevice;
        QString requestedComputeType;
        QString fallbackReason;
        // The model to download first, when that is the problem.
        QString missingModel;
        QStringList missingModules;
        QString error;
        // The one line for the user.
        QString summary;
    };

    explicit WhisperSpeechToTextSelfTestJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextSelfTestJob() override;

    // Each defaults to the stored setting; an empty one lets the helper use its own default.
    void setModel(const QString &model);
    [[nodiscard]] QString model() const;
    void setDevice(const QString &device);
    [[nodiscard]] QString device() const;
    void setComputeType(const QString &computeType);
    [[nodiscard]] QString computeType() const;
    void setLanguage(const QString &language);
    [[nodiscard]] QString language() const;

    // The helper script is found and the environment's python exists.
    [[nodiscard]] bool canStart() const;
    void start();

    [[nodiscard]] Result result() const;

    // The helper's arguments after the script for the current settings.
    [[nodiscard]] QStringList arguments() const;
    // How a device is named to the user: "CPU", "GPU", else the device's own name.
    [[nodiscard]] static QString deviceName(const QString &device);

Q_SIGNALS:
    void testMessage(const QString &message);
    void testDone(const QString &summary);
    void testFailed(const QString &summary);

private:
    void handleObject(const QJsonObject &object);
    void handleStage(const QJsonObject &object);
    void readResult(const QJsonObject &object);
    void handleFinished(int exitCode, bool crashed, const QString &errorString);
    void fail(const QString &reason);
    void finish();

    QString mModel;
    QString mDevice;
    QString mComputeType;
    QString mLanguage;
    // What the helper said it loads first, which a fallback names.
    QString mLoadedModel;
    QString mLoadedDevice;
    QString mLoadedComputeType;
    Result mResult;
    bool mHasResult = false;
    bool mStarted = false;
    QPointer<HostKit::JsonLinesProcess> mProcess;
};
