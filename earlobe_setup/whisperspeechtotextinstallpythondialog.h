#pragma once

#include "earlobe_setup_export.h"

#include <QDialog>
#include <QStringList>

class QPushButton;
class WhisperSpeechToTextInstallPythonWidget;

// The window in which a host runs the whisper installation. It cannot be closed while the
// panel works (close button, Escape or the window's own close control), and it keeps its size
// from one use to the next.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallPythonDialog : public QDialog
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallPythonDialog(QWidget *parent = nullptr);
    ~WhisperSpeechToTextInstallPythonDialog() override;

    void setModules(const QStringList &modules);
    void startInstall();
    void startSelfTest();

    // Refused, with a line in the log saying why, while an installation or a download runs;
    // a test alone does not hold the window open.
    void reject() override;

Q_SIGNALS:
    void installDone();
    void installFailed();
    void selfTestFinished(bool works, const QString &summary);

private:
    WhisperSpeechToTextInstallPythonWidget *const mWhisperInstallPythonWidget;
    QPushButton *const mCloseButton;
};
