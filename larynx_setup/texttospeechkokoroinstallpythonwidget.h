#pragma once

#include "larynx_setup_export.h"

#include <QStringList>
#include <QWidget>

class QPlainTextEdit;
class QPushButton;

namespace TextEditTextToSpeech
{
class TextToSpeechKokoroVoiceComboBox;

// The panel in which the user prepares read-aloud: it creates the virtual environment,
// installs the python modules, tells when espeak-ng is missing, and downloads the ticked
// voices, writing every step into a log. One installation runs at a time, and no download
// starts while one of them runs; the dialog around it follows its signals to lock its close
// button. A self-test of one voice runs on demand and after every installation or download
// that ended well; it changes nothing on disk, so it never holds the dialog open.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroInstallPythonWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TextToSpeechKokoroInstallPythonWidget(QWidget *parent = nullptr);
    ~TextToSpeechKokoroInstallPythonWidget() override;

    [[nodiscard]] QStringList modules() const;
    void setModules(const QStringList &modules);

    void startInstall();

    // The voice the self-test speaks with; empty means the first voice ticked, else af_heart.
    void setTestVoice(const QString &voice);
    // Does nothing while a test, an installation or a download runs.
    void startSelfTest();

    [[nodiscard]] bool isInstalling() const;
    [[nodiscard]] bool isDownloading() const;
    [[nodiscard]] bool isTesting() const;
    // Writes into the log why the window cannot be closed now; the caller refused it.
    void reportCloseRefused();

Q_SIGNALS:
    void installDone();
    void installFailed();
    void installInProgress(bool status);
    void selfTestFinished(bool works, const QString &summary);

private:
    void appendLog(const QString &text);
    void installModules();
    void downloadVoices();
    void setInstalling(bool installing);
    void setDownloading(bool downloading);
    void updateDownloadButton();
    void runSelfTest(const QString &voice);
    void setTesting(bool testing);
    [[nodiscard]] QString testVoice() const;

    QPlainTextEdit *const mPlainTextEdit;
    TextToSpeechKokoroVoiceComboBox *const mKokoroVoiceComboBox;
    QPushButton *const mDownloadButton;
    QPushButton *const mTestButton;
    QStringList mModules;
    QString mTestVoice;
    bool mInstalling = false;
    bool mDownloading = false;
    bool mTesting = false;
};
} // namespace TextEditTextToSpeech
