#pragma once

#include "larynx_setup_export.h"

#include <QDialog>
#include <QStringList>

class QPushButton;

namespace TextEditTextToSpeech
{
class TextToSpeechKokoroInstallPythonWidget;

// The window in which a host runs the kokoro installation and lets the user download voices.
// It cannot be closed while the panel works (a pip or a download killed half-way leaves a
// broken environment behind), and it keeps its size from one use to the next.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallPythonDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallPythonDialog(QWidget *parent = nullptr);
    ~TextToSpeechKokoroInstallPythonDialog() override;

    void setModules(const QStringList &modules);
    void startInstall();
    // Forwarded to the panel.
    void setTestVoice(const QString &voice);
    void startSelfTest();

    // Refused, with a line in the log, while an installation or a download runs; a self-test
    // alone does not hold the window open.
    void reject() override;

Q_SIGNALS:
    // The installation ended, and the host may check the feature again.
    void installDone();
    void installFailed();
    void selfTestFinished(bool works, const QString &summary);

private:
    void updateCloseButton();

    TextToSpeechKokoroInstallPythonWidget *const mKokoroInstallPythonWidget;
    QPushButton *const mCloseButton;
};
} // namespace TextEditTextToSpeech
