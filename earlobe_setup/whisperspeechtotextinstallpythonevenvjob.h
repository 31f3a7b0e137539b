#pragma once

#include "earlobe_setup_export.h"

#include <QObject>

// Creates the dictation feature's virtual environment from scratch with the system
// "python3": an environment already there is deleted first, off the calling thread. One-shot: emits exactly one
// of installDone() or installFailed(), then deletes itself. A folder at the path that is no
// environment, or a file, is left alone and the job fails, saying so in installMessage().
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallPythonEvenvJob : public QObject
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallPythonEvenvJob(QObject *parent = nullptr);
    ~WhisperSpeechToTextInstallPythonEvenvJob() override;

    [[nodiscard]] bool canStart() const;
    void start();

Q_SIGNALS:
    void installFailed();
    void installDone();
    // Why the creation failed, one line, just before installFailed().
    void installMessage(const QString &message);

private:
    void venvCreated();
    void failed();
};
