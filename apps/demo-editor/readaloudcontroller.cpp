#include "readaloudcontroller.h"
#include "sharedsettings.h"
#include "voicemenu.h"
#include "wavfile.h"

#include <configgroup.h>
#include <texttospeechkokoro.h>

#include <QAction>
#include <QFileDialog>
#include <QScopedValueRollback>
#include <QSlider>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const QString readAloudGroup = ReadAloudSettings::group();
const QString voiceKey = ReadAloudSettings::voiceKey();
const QString rateKey = u"Rate"_s;
const QString volumeKey = u"Volume"_s;

bool isReading(TextToSpeechState state)
{
    return state == TextToSpeechState::Speaking || state == TextToSpeechState::Paused;
}
} // namespace

ReadAloudController::ReadAloudController(QTextEdit *editor, QWidget *window)
    : QObject(window)
    , mEditor(editor)
    , mWindow(window)
    , mSpeech(new TextToSpeechKokoro(this))
    , mVoiceMenu(new VoiceMenu(window))
    , mRateSlider(new QSlider(Qt::Horizontal, window))
    , mVolumeSlider(new QSlider(Qt::Horizontal, window))
    , mHighlight(editor)
{
    mVoiceMenu->setObjectName(u"voiceMenu"_s);
    createActions();
    createSliders();

    connect(mSpeech, &TextToSpeechKokoro::stateChanged, this, &ReadAloudController::handleSpeechState);
    connect(mSpeech, &TextToSpeechKokoro::errorOccurred, this, &ReadAloudController::handleSpeechError);
    connect(mSpeech, &TextToSpeechKokoro::synthesized, this, &ReadAloudController::collectSpeech);
    connect(mSpeech, &TextToSpeechKokoro::sayingSentence, this, &ReadAloudController::showSentence);
    connect(mSpeech, &TextToSpeechKokoro::sayingWord, this, &ReadAloudController::showWord);
    connect(mVoiceMenu, &VoiceMenu::voiceSelected, this, &ReadAloudController::selectVoice);

    loadSettings();
    handleSpeechState(TextToSpeechState::Ready);
}

ReadAloudController::~ReadAloudController() = default;

QAction *ReadAloudController::readAloudAction() const
{
    return mReadAloudAction;
}

QAction *ReadAloudController::pauseAction() const
{
    return mPauseAction;
}

QAction *ReadAloudController::stopAction() const
{
    return mStopAction;
}

QAction *ReadAloudController::previousSentenceAction() const
{
    return mPreviousSentenceAction;
}

QAction *ReadAloudController::nextSentenceAction() const
{
    return mNextSentenceAction;
}

QAction *ReadAloudController::saveSpeechAction() const
{
    return mSaveSpeechAction;
}

VoiceMenu *ReadAloudController::voiceMenu() const
{
    return mVoiceMenu;
}

QSlider *ReadAloudController::rateSlider() const
{
    return mRateSlider;
}

QSlider *ReadAloudController::volumeSlider() const
{
    return mVolumeSlider;
}

void ReadAloudController::createActions()
{
    mReadAloudAction = new QAction(QIcon::fromTheme(u"media-playback-start"_s), u"&Read Aloud"_s, this);
    mReadAloudAction->setObjectName(u"readAloudAction"_s);
    mReadAloudAction->setShortcut(u"Ctrl+R"_s);
    mReadAloudAction->setToolTip(u"Read the selection, or the text from the cursor on (Ctrl+R)"_s);
    connect(mReadAloudAction, &QAction::triggered, this, &ReadAloudController::readAloud);

    mPauseAction = new QAction(QIcon::fromTheme(u"media-playback-pause"_s), u"&Pause"_s, this);
    mPauseAction->setObjectName(u"pauseAction"_s);
    mPauseAction->setCheckable(true);
    mPauseAction->setShortcut(u"Ctrl+Shift+P"_s);
    connect(mPauseAction, &QAction::triggered, this, &ReadAloudController::togglePause);

    mStopAction = new QAction(QIcon::fromTheme(u"media-playback-stop"_s), u"&Stop"_s, this);
    mStopAction->setObjectName(u"stopAction"_s);
    mStopAction->setShortcut(u"Ctrl+Shift+S"_s);
    connect(mStopAction, &QAction::triggered, this, [this] {
        // A save that is stopped would leave a file cut short; it is dropped instead.
        mSavingSpeech = false;
        mSpeech->stop();
    });

    // Alt with the arrows: Ctrl and Shift with them already move and select in the text.
    mPreviousSentenceAction = new QAction(QIcon::fromTheme(u"media-skip-backward"_s), u"Pre&vious Sentence"_s, this);
    mPreviousSentenceAction->setObjectName(u"previousSentenceAction"_s);
    mPreviousSentenceAction->setIconText(u"Previous"_s);
    mPreviousSentenceAction->setShortcut(u"Alt+Left"_s);
    mPreviousSentenceAction->setToolTip(u"Read again from the sentence before this one (Alt+Left)"_s);
    connect(mPreviousSentenceAction, &QAction::triggered, this, &ReadAloudController::readPreviousSentence);

    mNextSentenceAction = new QAction(QIcon::fromTheme(u"media-skip-forward"_s), u"&Next Sentence"_s, this);
    mNextSentenceAction->setObjectName(u"nextSentenceAction"_s);
    mNextSentenceAction->setIconText(u"Next"_s);
    mNextSentenceAction->setShortcut(u"Alt+Right"_s);
    mNextSentenceAction->setToolTip(u"Skip to the next sentence (Alt+Right)"_s);
    connect(mNextSentenceAction, &QAction::triggered, this, &ReadAloudController::readNextSentence);

    mSaveSpeechAction = new QAction(u"Save Speech as &WAV…"_s, this);
    mSaveSpeechAction->setObjectName(u"saveSpeechAction"_s);
    connect(mSaveSpeechAction, &QAction::triggered, this, &ReadAloudController::saveSpeech);
}

void ReadAloudController::createSliders()
{
    mRateSlider->setObjectName(u"rateSlider"_s);
    mRateSlider->setRange(-100, 100);
    mRateSlider->setMaximumWidth(120);
    mRateSlider->setToolTip(u"Speaking rate: half speed to double speed"_s);
    connect(mRateSlider, &QSlider::valueChanged, this, &ReadAloudController::applyRate);
    mVolumeSlider->setObjectName(u"volumeSlider"_s);
    mVolumeSlider->setRange(0, 100);
    mVolumeSlider->setMaximumWidth(120);
    mVolumeSlider->setToolTip(u"Volume"_s);
    connect(mVolumeSlider, &QSlider::valueChanged, this, &ReadAloudController::applyVolume);
}

void ReadAloudController::loadSettings()
{
    const HostKit::ConfigGroup group(readAloudGroup);
    const QString voice = ReadAloudSettings::loadVoice();
    mSpeech->setVoiceIdentifier(voice);
    mVoiceMenu->setCurrentVoice(voice);
    mRateSlider->setValue(group.readEntry(rateKey, u"0"_s).toInt());
    mVolumeSlider->setValue(group.readEntry(volumeKey, u"100"_s).toInt());
}

QString ReadAloudController::stateText() const
{
    switch (mSpeech->state()) {
    case TextToSpeechState::Speaking:
        return u"Reading aloud"_s;
    case TextToSpeechState::Paused:
        return u"Reading paused"_s;
    case TextToSpeechState::Synthesizing:
        return u"Saving speech"_s;
    case TextToSpeechState::Error:
    case TextToSpeechState::Ready:
        break;
    }
    return {};
}

void ReadAloudController::setSetupProblem(const QString &problem)
{
    mSetupProblem = problem;
}

void ReadAloudController::readAloud()
{
    const QTextCursor cursor = mEditor->textCursor();
    const QString document = mEditor->toPlainText();
    int from = cursor.selectionStart();
    int to = cursor.hasSelection() ? cursor.selectionEnd() : int(document.size());
    // With the cursor at the end, as after typing, the whole text is what is meant.
    if (!cursor.hasSelection() && QStringView(document).mid(from).trimmed().isEmpty())
        from = 0;
    if (QStringView(document).mid(from, to - from).trimmed().isEmpty()) {
        Q_EMIT statusMessage(u"There is no text to read."_s);
        return;
    }
    Q_EMIT requestStarted();
    mSavingSpeech = false;
    speak(mTracker.start(mEditor->document(), from, to));
}

void ReadAloudController::stopReading()
{
    if (mTracker.isActive())
        mSpeech->stop();
}

void ReadAloudController::speak(const QString &text)
{
    mHighlight.clear();
    const QScopedValueRollback replacing(mReplacingRequest, true);
    mSpeech->say(text);
}

void ReadAloudController::readNextSentence()
{
    const std::optional<int> next = mTracker.nextSentenceStart();
    if (!next) {
        Q_EMIT statusMessage(u"This is the last sentence."_s);
        return;
    }
    restartAt(*next);
}

void ReadAloudController::readPreviousSentence()
{
    if (mTracker.isActive())
        restartAt(mTracker.previousSentenceStart());
}

void ReadAloudController::restartAt(int position)
{
    const QString text = mTracker.restartAt(position);
    if (text.trimmed().isEmpty())
        return;
    speak(text);
    updateSentenceActions();
}

void ReadAloudController::endReading()
{
    mTracker.clear();
    mHighlight.clear();
}

void ReadAloudController::showSentence(qsizetype start, qsizetype length)
{
    // The engine reports sentences while saving speech too; only a reading is shown.
    if (!mTracker.isActive())
        return;
    mHighlight.showSentence(mTracker.reachSentence(start, length));
    updateSentenceActions();
}

void ReadAloudController::showWord(const QString &word, qsizetype start, qsizetype length)
{
    Q_UNUSED(word)
    if (mTracker.isActive())
        mHighlight.showWord(mTracker.rangeOf(start, length));
}

void ReadAloudController::updateSentenceActions()
{
    const bool reading = mTracker.isActive() && isReading(mSpeech->state());
    mPreviousSentenceAction->setEnabled(reading);
    // Where the next sentence begins is known once the voice has reached the current one.
    mNextSentenceAction->setEnabled(reading && mTracker.hasCurrentSentence());
}

void ReadAloudController::togglePause(bool paused)
{
    if (paused)
        mSpeech->pause();
    else
        mSpeech->resume();
    // The engine ignores a pause before any audio plays; the button must not claim otherwise.
    mPauseAction->setChecked(mSpeech->state() == TextToSpeechState::Paused);
}

void ReadAloudController::saveSpeech()
{
    const QString path = QFileDialog::getSaveFileName(mWindow, u"Save Speech as WAV"_s, u"speech.wav"_s, u"WAV audio (*.wav)"_s);
    if (!path.isEmpty())
        saveSpeechTo(path);
}

void ReadAloudController::saveSpeechTo(const QString &path)
{
    const QTextCursor cursor = mEditor->textCursor();
    const QString text = cursor.hasSelection() ? cursor.selection().toPlainText() : mEditor->toPlainText();
    if (text.trimmed().isEmpty()) {
        Q_EMIT statusMessage(u"There is no text to save as speech."_s);
        return;
    }
    Q_EMIT requestStarted();
    endReading();
    mSpeechPath = path;
    mSpeechAudio.clear();
    mSpeechFormat = {};
    mSavingSpeech = true;
    const QScopedValueRollback replacing(mReplacingRequest, true);
    mSpeech->synthesize(text);
}

void ReadAloudController::handleSpeechState(TextToSpeechState state)
{
    const bool replaced = mReplacingRequest && state == TextToSpeechState::Ready;
    if (!isReading(state) && !replaced)
        endReading();
    mPauseAction->setEnabled(isReading(state));
    mPauseAction->setChecked(state == TextToSpeechState::Paused);
    mStopAction->setEnabled(isReading(state) || state == TextToSpeechState::Synthesizing);
    updateSentenceActions();
    Q_EMIT stateChanged();
    if (state == TextToSpeechState::Ready && mSavingSpeech && !replaced)
        finishSavingSpeech();
}

void ReadAloudController::handleSpeechError(QTextToSpeech::ErrorReason reason, const QString &message)
{
    mSavingSpeech = false;
    if (reason == QTextToSpeech::ErrorReason::Initialization && !mSetupProblem.isEmpty())
        Q_EMIT errorMessage(u"%1 (%2)"_s.arg(message, mSetupProblem));
    else
        Q_EMIT errorMessage(message);
}

void ReadAloudController::collectSpeech(const QAudioFormat &format, const QByteArray &data)
{
    if (!mSavingSpeech)
        return;
    mSpeechFormat = format;
    mSpeechAudio.append(data);
}

void ReadAloudController::finishSavingSpeech()
{
    mSavingSpeech = false;
    if (mSpeechAudio.isEmpty() || !mSpeechFormat.isValid()) {
        // Stopped before any audio came: nothing to write, and no empty file either.
        Q_EMIT statusMessage(u"No speech was saved."_s);
        return;
    }
    QString error;
    if (!WavFile::write(mSpeechPath, mSpeechFormat, mSpeechAudio, &error)) {
        Q_EMIT errorMessage(error);
        return;
    }
    const double seconds = double(mSpeechFormat.durationForBytes(mSpeechAudio.size())) / 1e6;
    Q_EMIT statusMessage(u"Saved %1 s of speech to %2."_s.arg(seconds, 0, 'f', 1).arg(mSpeechPath));
    mSpeechAudio.clear();
}

void ReadAloudController::selectVoice(const QString &identifier)
{
    if (!mSpeech->setVoiceIdentifier(identifier)) {
        Q_EMIT errorMessage(u"The voice %1 cannot be used."_s.arg(identifier));
        return;
    }
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(voiceKey, identifier);
    group.sync();
}

void ReadAloudController::applyRate(int value)
{
    mSpeech->setRate(value / 100.0);
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(rateKey, QString::number(value));
}

void ReadAloudController::applyVolume(int value)
{
    mSpeech->setVolume(value / 100.0);
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(volumeKey, QString::number(value));
}
