#pragma once

#include "larynx_setup_export.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

namespace HostKit
{
class JsonLinesProcess;
}

namespace TextEditTextToSpeech
{
// Asks the helper script in its "selftest" mode whether a voice speaks on this computer and
// how fast: it loads the model and the voice, times the synthesis of a test sentence, and
// the job turns its answer into one line for the user. One-shot: start() once, one final
// signal, then the job deletes itself.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroSelfTestJob : public QObject
{
    Q_OBJECT
public:
    enum class Verdict {
        Unknown,
        Smooth,
        Tight,
        Slow,
    };
    Q_ENUM(Verdict)

    enum class Problem {
        None,
        NotDownloaded,
        MissingPackages,
        NotInstalled,
        BadVoice,
        Failed,
    };
    Q_ENUM(Problem)

    struct Result {
        bool works = false;
        QString voice;
        QString device;
        double loadSeconds = 0;
        double synthesisSeconds = 0;
        double audioSeconds = 0;
        double realTimeFactor = 0;
        Verdict verdict = Verdict::Unknown;
        Problem problem = Problem::None;
        // Pip names, for MissingPackages and NotInstalled.
        QStringList missing;
        QString error;
        QString summary;
    };

    explicit TextToSpeechKokoroSelfTestJob(QObject *parent = nullptr);
    ~TextToSpeechKokoroSelfTestJob() override;

    void setVoice(const QString &voice);
    [[nodiscard]] QString voice() const;

    [[nodiscard]] bool canStart() const;
    void start();

    [[nodiscard]] Result result() const;

Q_SIGNALS:
    void testMessage(const QString &message);
    void testDone(const QString &summary);
    void testFailed(const QString &summary);

private:
    void handleObject(const QJsonObject &object);
    void handleStage(const QJsonObject &stage);
    void handleFinished(int exitCode, bool crashed, const QString &errorString);
    void readResult(const QJsonObject &object);
    void finish(Problem problem, const QString &error = {});

    QString mVoice;
    QPointer<HostKit::JsonLinesProcess> mProcess;
    QJsonObject mResultObject;
    Result mResult;
};
} // namespace TextEditTextToSpeech
