#pragma once

#include "larynx_setup_export.h"

#include <QDialog>
#include <QStringList>

class QPushButton;

namespace TextEditTextToSpeech
{
class TextToSpeechKokoroInstallPythonWidget;

// The window in which a host runs the kokoro installation and lets the user download voices.
// Its close button is locked while the panel works, and it keeps its size from one use to the
// next. The outcome is shown in the panel's log only.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallPythonDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallPythonDialog(QWidget *parent = nullptr);
    ~TextToSpeechKokoroInstallPythonDialog() override;

    void setModules(const QStringList &modules);
    void startInstall();

private:
    TextToSpeechKokoroInstallPythonWidget *const mKokoroInstallPythonWidget;
    QPushButton *const mCloseButton;
};
} // namespace TextEditTextToSpeech
