#pragma once

#include "dictation.h"

#include <QMainWindow>

class QAction;
class QDialog;
class QLabel;
class QTextEdit;
class ReadAloudController;
class WhisperSpeechToTextInstallMessageWidget;
class WhisperSpeechToTextInstallPythonDialog;
namespace HostKit
{
class MessageBanner;
}
namespace TextEditTextToSpeech
{
class TextToSpeechKokoroInstallMessageWidget;
class TextToSpeechKokoroInstallPythonDialog;
} // namespace TextEditTextToSpeech

// A plain text editor that takes dictation and reads aloud, as an editor embedding the
// libraries would: it checks both environments at start, offers to install what is missing,
// shows dictation as it is recognised, and puts every error in the window.
class EditorWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit EditorWindow(QWidget *parent = nullptr);
    ~EditorWindow() override;

    [[nodiscard]] QTextEdit *editor() const;
    void checkSetup();
    bool openFile(const QString &path);
    // Synthesises the selection, or the whole text, into a WAV file at path.
    void saveSpeechTo(const QString &path);

Q_SIGNALS:
    // Both environment checks have answered.
    void setupChecked();

private:
    enum class SetupState {
        Checking,
        Usable,
        Missing,
    };

    void createActions();
    void createMenus();
    void createToolBar();
    QWidget *createCentralWidget();

    void checkWhisper();
    void checkKokoro();
    void showWhisperMissing(const QString &text, const QStringList &modules);
    void showKokoroMissing(const QString &text, const QStringList &modules);
    void installWhisper(const QStringList &modules);
    void installKokoro(const QStringList &modules);
    WhisperSpeechToTextInstallPythonDialog *whisperInstallDialog();
    TextEditTextToSpeech::TextToSpeechKokoroInstallPythonDialog *kokoroInstallDialog();
    void showInstallDialog(QDialog *dialog);
    void reportSetupChecked();

    void toggleDictation(bool on);
    void cancelDictation();
    void handleDictationState(Dictation::State state);
    void showPartial(const QString &text);
    void insertFinal(const QString &text);
    void showSpeechState();

    void openDocument();
    void saveDocumentAs();
    void showDictationSettings();
    void showError(const QString &message);
    void showStatus(const QString &message);

    QTextEdit *const mEditor;
    Dictation *const mDictation;
    ReadAloudController *const mReadAloud;
    WhisperSpeechToTextInstallMessageWidget *const mWhisperBanner;
    TextEditTextToSpeech::TextToSpeechKokoroInstallMessageWidget *const mKokoroBanner;
    HostKit::MessageBanner *const mErrorBanner;
    QLabel *const mStateLabel;

    QAction *mDictateAction = nullptr;
    QAction *mCancelDictationAction = nullptr;
    QAction *mCheckSetupAction = nullptr;
    QAction *mDictationSettingsAction = nullptr;
    QAction *mDictationSetupAction = nullptr;
    QAction *mReadAloudSetupAction = nullptr;

    // Kept for the window's life: one dialog per feature, which the banner raises, and which
    // closing never destroys while its installation runs.
    WhisperSpeechToTextInstallPythonDialog *mWhisperInstallDialog = nullptr;
    TextEditTextToSpeech::TextToSpeechKokoroInstallPythonDialog *mKokoroInstallDialog = nullptr;
    bool mWhisperInstalling = false;
    bool mKokoroInstalling = false;

    SetupState mWhisperState = SetupState::Checking;
    SetupState mKokoroState = SetupState::Checking;
    QString mWhisperProblem;
};
