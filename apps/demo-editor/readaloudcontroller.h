#pragma once

#include "readinghighlight.h"
#include "readingtracker.h"

#include <texttospeechcompat.h>

#include <QAudioFormat>
#include <QObject>
#include <QTextToSpeech>

class QAction;
class QSlider;
class QTextEdit;
class QWidget;
class VoiceMenu;
namespace TextEditTextToSpeech
{
class TextToSpeechKokoro;
} // namespace TextEditTextToSpeech

// Read-aloud in the editor: reads the selection or the text from the cursor on, shows the
// sentence and the word being read, moves between sentences, saves speech as WAV, and keeps
// the voice, rate and volume the user chose. The window places the actions and widgets.
class ReadAloudController : public QObject
{
    Q_OBJECT
public:
    // window parents the menus, widgets and dialogs.
    ReadAloudController(QTextEdit *editor, QWidget *window);
    ~ReadAloudController() override;

    [[nodiscard]] QAction *readAloudAction() const;
    [[nodiscard]] QAction *pauseAction() const;
    [[nodiscard]] QAction *stopAction() const;
    [[nodiscard]] QAction *previousSentenceAction() const;
    [[nodiscard]] QAction *nextSentenceAction() const;
    [[nodiscard]] QAction *saveSpeechAction() const;
    [[nodiscard]] VoiceMenu *voiceMenu() const;
    [[nodiscard]] QSlider *rateSlider() const;
    [[nodiscard]] QSlider *volumeSlider() const;

    // What the engine is doing, for a status line; empty when it is idle.
    [[nodiscard]] QString stateText() const;
    // Why read-aloud is not set up, added to an error starting the engine; empty when it is.
    void setSetupProblem(const QString &problem);

    void readAloud();
    // Stops reading aloud; a save of speech goes on.
    void stopReading();
    // Synthesises the selection, or the whole text, into a WAV file at path.
    void saveSpeechTo(const QString &path);

Q_SIGNALS:
    // Something was asked of the engine; an error shown before is out of date.
    void requestStarted();
    void stateChanged();
    void statusMessage(const QString &message);
    void errorMessage(const QString &message);

private:
    void createActions();
    void createSliders();
    void loadSettings();

    void speak(const QString &text);
    void readNextSentence();
    void readPreviousSentence();
    void restartAt(int position);
    void endReading();
    void showSentence(qsizetype start, qsizetype length);
    void showWord(const QString &word, qsizetype start, qsizetype length);
    void updateSentenceActions();

    void togglePause(bool paused);
    void saveSpeech();
    void handleSpeechState(TextEditTextToSpeech::TextToSpeechState state);
    void handleSpeechError(QTextToSpeech::ErrorReason reason, const QString &message);
    void collectSpeech(const QAudioFormat &format, const QByteArray &data);
    void finishSavingSpeech();
    void selectVoice(const QString &identifier);
    void applyRate(int value);
    void applyVolume(int value);

    QTextEdit *const mEditor;
    QWidget *const mWindow;
    TextEditTextToSpeech::TextToSpeechKokoro *const mSpeech;
    VoiceMenu *const mVoiceMenu;
    QSlider *const mRateSlider;
    QSlider *const mVolumeSlider;

    QAction *mReadAloudAction = nullptr;
    QAction *mPauseAction = nullptr;
    QAction *mStopAction = nullptr;
    QAction *mPreviousSentenceAction = nullptr;
    QAction *mNextSentenceAction = nullptr;
    QAction *mSaveSpeechAction = nullptr;

    ReadingTracker mTracker;
    ReadingHighlight mHighlight;
    // A new request stops the one before; that stop is not the end of the new one.
    bool mReplacingRequest = false;
    QString mSetupProblem;

    QString mSpeechPath;
    QAudioFormat mSpeechFormat;
    QByteArray mSpeechAudio;
    bool mSavingSpeech = false;
};
