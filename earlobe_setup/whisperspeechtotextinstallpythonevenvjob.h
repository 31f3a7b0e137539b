#pragma once

#include "earlobe_setup_export.h"

#include <QObject>

// Creates the dictation feature's virtual environment from scratch with the system
// "python3": an environment already there is deleted first, off the calling thread. One-shot: emits exactly one
// of installDone() or installFailed(), then deletes itself.
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

private:
    void venvCreated();
    void failed();
};
