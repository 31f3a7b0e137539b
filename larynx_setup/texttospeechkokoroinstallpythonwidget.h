#pragma once

#include "larynx_setup_export.h"

#include <QStringList>
#include <QWidget>

class QPlainTextEdit;

namespace TextEditTextToSpeech
{
class TextToSpeechKokoroVoiceComboBox;

// The panel in which the user prepares read-aloud: it creates the virtual environment,
// installs the python modules, tells when espeak-ng is missing, and downloads the ticked
// voices, writing every step into a log. It never disables anything itself: the dialog
// around it follows its signals.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallPythonWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallPythonWidget(QWidget *parent = nullptr);
    ~TextToSpeechKokoroInstallPythonWidget() override;

    [[nodiscard]] QStringList modules() const;
    void setModules(const QStringList &modules);

    void startInstall();

Q_SIGNALS:
    void installDone();
    void installFailed();
    void installInProgress(bool status);

private:
    void appendLog(const QString &text);
    void installModules();
    void downloadVoices();

    QPlainTextEdit *const mPlainTextEdit;
    TextToSpeechKokoroVoiceComboBox *const mKokoroVoiceComboBox;
    QStringList mModules;
};
} // namespace TextEditTextToSpeech
