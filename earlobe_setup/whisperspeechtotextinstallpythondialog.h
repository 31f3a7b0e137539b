#pragma once

#include "earlobe_setup_export.h"

#include <QDialog>
#include <QStringList>

class QPushButton;
class WhisperSpeechToTextInstallPythonWidget;

// The window in which a host runs the whisper installation. Its close button is locked while
// the panel reports work in progress, and it keeps its size from one use to the next.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallPythonDialog : public QDialog
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallPythonDialog(QWidget *parent = nullptr);
    ~WhisperSpeechToTextInstallPythonDialog() override;

    void setModules(const QStringList &modules);
    void startInstall();

Q_SIGNALS:
    void installDone();
    void installFailed();

private:
    WhisperSpeechToTextInstallPythonWidget *const mWhisperInstallPythonWidget;
    QPushButton *const mCloseButton;
};
