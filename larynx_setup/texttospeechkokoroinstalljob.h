#pragma once

#include "larynx_setup_export.h"

#include <QObject>
#include <QProcess>
#include <QStringDecoder>
#include <QStringList>

namespace TextEditTextToSpeech
{
// Installs python modules into the read-aloud feature's virtual environment with its own
// pip, one after the other, and forwards pip's output while it runs. torch goes first, from
// the CPU-only wheel index; "espeak-ng" is a system program and is left out. One-shot: emits
// exactly one of installDone() or installFailed(), then deletes itself.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallJob : public QObject
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallJob(QObject *parent = nullptr);
    ~TextToSpeechKokoroInstallJob() override;

    [[nodiscard]] QStringList modules() const;
    void setModules(const QStringList &modules);

    [[nodiscard]] bool canStart() const;
    void start();

Q_SIGNALS:
    void installDone();
    void installFailed();
    void installMessage(const QString &message);

private:
    void installNextModule();
    void slotReadyRead();
    void slotFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void failed(const QString &message);

    QStringList mModules;
    QStringList mPendingModules;
    QString mCurrentModule;
    QProcess *mProcess = nullptr;
    // Lives as long as the job: pip's output arrives in arbitrary pieces, and a UTF-8
    // character cut between two reads must come out whole.
    QStringDecoder mDecoder{QStringDecoder::Utf8};
};
} // namespace TextEditTextToSpeech
