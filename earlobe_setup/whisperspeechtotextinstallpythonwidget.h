#pragma once

#include "earlobe_setup_export.h"

#include <QStringList>
#include <QWidget>

class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class WhisperSpeechToTextModelComboBox;

// The panel in which the user prepares dictation: it creates the virtual environment, installs
// the python modules, and downloads the chosen model, writing every step into a log.
class EARLOBE_SETUP_EXPORT WhisperSpeechToTextInstallPythonWidget : public QWidget
{
    Q_OBJECT
public:
    explicit WhisperSpeechToTextInstallPythonWidget(QWidget *parent = nullptr);
    ~WhisperSpeechToTextInstallPythonWidget() override;

    [[nodiscard]] QStringList modules() const;
    void setModules(const QStringList &modules);

    // Does nothing while an installation runs: a second one would remove the environment the
    // first one's pip is writing into.
    void startInstall();

    // Tests the model shown in the chooser with the stored device, compute type and language,
    // writing its progress and its one-line verdict into the log. Does nothing while an
    // installation, a download or another test runs.
    void startSelfTest();

    [[nodiscard]] bool isInstalling() const;
    [[nodiscard]] bool isDownloading() const;
    [[nodiscard]] bool isTesting() const;
    // Whether an installation or a model download runs. A test does not count: it changes
    // nothing on disk and may be abandoned.
    [[nodiscard]] bool isBusy() const;
    // Writes text as a line of the log, as the panel's own steps are.
    void appendLogMessage(const QString &text);

Q_SIGNALS:
    void installDone();
    void installFailed();
    void installInProgress(bool status);
    void selfTestFinished(bool works, const QString &summary);

private:
    void appendLog(const QString &text);
    void showModelHint();
    void installModules();
    void finishInstall(bool success);
    void downloadModel();
    void showDownloadProgress(int percent, qint64 received, qint64 total);
    void setDownloading(bool downloading);
    void finishSelfTest(bool works, const QString &summary);
    void updateButtons();

    QPlainTextEdit *const mPlainTextEdit;
    WhisperSpeechToTextModelComboBox *const mModelComboBox;
    QPushButton *const mDownloadModelButton;
    QPushButton *const mTestButton;
    QProgressBar *const mDownloadProgressBar;
    QStringList mModules;
    bool mCatalogueLoaded = false;
    bool mInstalling = false;
    bool mDownloading = false;
    bool mTesting = false;
};
