#pragma once

#include "larynx_setup_export.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace TextEditTextToSpeech
{
// Asks the helper script in its "check" mode whether the kokoro environment is usable, lacks
// python modules or the espeak-ng program, or must be rebuilt. One-shot: start() once, one
// final signal, then the job deletes itself.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroCheckJob : public QObject
{
    Q_OBJECT
public:
    struct CheckResult {
        QStringList missing;
        bool needReinstall = false;
        // Why the environment is not usable, when the helper failed to answer: the last line
        // it wrote on its standard error, or a description of its silence.
        QString helperError;

        [[nodiscard]] bool isValid() const;
        [[nodiscard]] QString errorString() const;
    };

    explicit TextToSpeechKokoroCheckJob(QObject *parent = nullptr);
    ~TextToSpeechKokoroCheckJob() override;

    [[nodiscard]] bool canStart() const;
    void start();

    [[nodiscard]] static CheckResult checkSynchronously(int timeout);

Q_SIGNALS:
    void needToReinstall();
    void packagesInstalled();
    void needToInstallPackages(const QStringList &missing);
    // Comes just before needToReinstall() when the helper failed to answer, with the
    // CheckResult::helperError of that failure.
    void needToReinstallReason(const QString &helperError);

private:
    void reportReinstall(const QString &helperError);
};
} // namespace TextEditTextToSpeech
