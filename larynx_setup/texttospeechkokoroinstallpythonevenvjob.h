#pragma once

#include "larynx_setup_export.h"

#include <QObject>

namespace TextEditTextToSpeech
{
// Creates the read-aloud feature's virtual environment from scratch with the system
// "python3.11": an environment already there is deleted first, off the calling thread. One-shot: emits exactly one
// of installDone() or installFailed(), then deletes itself. A folder at the path that is no
// environment, or a file, is left alone and the job fails, saying so in installMessage().
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallPythonEvenvJob : public QObject
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallPythonEvenvJob(QObject *parent = nullptr);
    ~TextToSpeechKokoroInstallPythonEvenvJob() override;

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
} // namespace TextEditTextToSpeech
