#pragma once

#include "larynx_setup_export.h"

#include <QObject>

namespace TextEditTextToSpeech
{
// Creates the read-aloud feature's virtual environment from scratch with the system
// "python3.11": an environment already there is deleted first, off the calling thread. One-shot: emits exactly one
// of installDone() or installFailed(), then deletes itself.
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

private:
    void venvCreated();
    void failed();
};
} // namespace TextEditTextToSpeech
