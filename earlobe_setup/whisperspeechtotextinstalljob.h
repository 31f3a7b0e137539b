#pragma once

#include "earlobe_setup_export.h"

#include <QObject>
#include <QProcess>
#include <QStringDecoder>
#include <QStringList>

// Installs python modules into the dictation feature's virtual environment with its own
// pip, one after the other, and forwards pip's output while it runs. One-shot: emits
// exactly one of installDone() or installFailed(), then deletes itself.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallJob : public QObject
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextInstallJob() override;

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
    void flushDecoder();
    [[nodiscard]] QString failedModuleMessage() const;
    void failed(const QString &message);

    QStringList mModules;
    QStringList mPendingModules;
    QString mCurrentModule;
    // What pip printed for the current module, kept to tell which requirement it failed on.
    QString mModuleOutput;
    QProcess *mProcess = nullptr;
    // Lives as long as the job: pip's output arrives in arbitrary pieces, and a UTF-8
    // character cut between two reads must come out whole.
    QStringDecoder mDecoder{QStringDecoder::Utf8};
};
