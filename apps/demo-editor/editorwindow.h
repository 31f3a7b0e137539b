#pragma once

#include "dictation.h"

#include <texttospeechcompat.h>

#include <QAudioFormat>
#include <QMainWindow>
#include <QTextToSpeech>

class QAction;
class QLabel;
class QSlider;
class QTextEdit;
class VoiceMenu;
class WhisperSpeechToTextInstallMessageWidget;
namespace HostKit
{
class MessageBanner;
}
namespace TextEditTextToSpeech
{
class TextToSpeechKokoro;
class TextToSpeechKokoroInstallMessageWidget;
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
    void reportSetupChecked();

    void toggleDictation(bool on);
    void cancelDictation();
    void handleDictationState(Dictation::State state);
    void showPartial(const QString &text);
    void insertFinal(const QString &text);

    [[nodiscard]] QString textToRead() const;
    void readAloud();
    void togglePause(bool paused);
    void saveSpeech();
    void handleSpeechState(TextEditTextToSpeech::TextToSpeechState state);
    void handleSpeechError(QTextToSpeech::ErrorReason reason, const QString &message);
    void collectSpeech(const QAudioFormat &format, const QByteArray &data);
    void finishSavingSpeech();
    void selectVoice(const QString &identifier);
    void applyRate(int value);
    void applyVolume(int value);

    void openDocument();
    void saveDocumentAs();
    void showDictationSettings();
    void showError(const QString &message);
    void showStatus(const QString &message);

    QTextEdit *const mEditor;
    Dictation *const mDictation;
    TextEditTextToSpeech::TextToSpeechKokoro *const mSpeech;
    WhisperSpeechToTextInstallMessageWidget *const mWhisperBanner;
    TextEditTextToSpeech::TextToSpeechKokoroInstallMessageWidget *const mKokoroBanner;
    HostKit::MessageBanner *const mErrorBanner;
    VoiceMenu *const mVoiceMenu;
    QLabel *const mStateLabel;
    QSlider *mRateSlider = nullptr;
    QSlider *mVolumeSlider = nullptr;

    QAction *mDictateAction = nullptr;
    QAction *mCancelDictationAction = nullptr;
    QAction *mReadAloudAction = nullptr;
    QAction *mPauseAction = nullptr;
    QAction *mStopAction = nullptr;
    QAction *mSaveSpeechAction = nullptr;
    QAction *mCheckSetupAction = nullptr;
    QAction *mDictationSettingsAction = nullptr;

    SetupState mWhisperState = SetupState::Checking;
    SetupState mKokoroState = SetupState::Checking;
    QString mWhisperProblem;
    QString mKokoroProblem;

    QString mSpeechPath;
    QAudioFormat mSpeechFormat;
    QByteArray mSpeechAudio;
    bool mSavingSpeech = false;
};
