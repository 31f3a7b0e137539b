#include "editorwindow.h"
#include "dictationsettingsdialog.h"
#include "voicemenu.h"
#include "wavfile.h"

#include <configgroup.h>
#include <messagebanner.h>
#include <texttospeechkokoro.h>
#include <texttospeechkokorocheckjob.h>
#include <texttospeechkokoroinstallmessagewidget.h>
#include <texttospeechkokoroinstallpythondialog.h>
#include <texttospeechkokoroutils.h>
#include <whisperspeechtotextcheckjob.h>
#include <whisperspeechtotextinstallmessagewidget.h>
#include <whisperspeechtotextinstallpythondialog.h>
#include <whisperspeechtotextutils.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QMenuBar>
#include <QSaveFile>
#include <QSlider>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QToolBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
const QString readAloudGroup = u"ReadAloud"_s;
const QString voiceKey = u"Voice"_s;
const QString rateKey = u"Rate"_s;
const QString volumeKey = u"Volume"_s;
const QString defaultVoice = u"af_heart"_s;

// Dictated text goes in as if typed through an input method: a partial is pre-edit text,
// drawn at the cursor but not in the document (nor in its undo history), and the final text
// is committed in its place.
void sendInputMethodEvent(QTextEdit *editor, const QString &preedit, const QString &commit = {})
{
    QList<QInputMethodEvent::Attribute> attributes;
    if (!preedit.isEmpty()) {
        QTextCharFormat format;
        format.setForeground(QColor(Qt::gray));
        format.setFontItalic(true);
        attributes.append({QInputMethodEvent::TextFormat, 0, int(preedit.size()), format});
        attributes.append({QInputMethodEvent::Cursor, int(preedit.size()), 1, {}});
    }
    QInputMethodEvent event(preedit, attributes);
    if (!commit.isEmpty())
        event.setCommitString(commit);
    QCoreApplication::sendEvent(editor, &event);
}

// Recognised text starts without a blank; one is needed after a word already there.
QString spacedForCursor(const QTextCursor &cursor, const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || cursor.atBlockStart())
        return trimmed;
    const QChar before = cursor.block().text().at(cursor.positionInBlock() - 1);
    return before.isSpace() ? trimmed : u' ' + trimmed;
}

QString stateText(TextToSpeechState state)
{
    switch (state) {
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
} // namespace

EditorWindow::EditorWindow(QWidget *parent)
    : QMainWindow(parent)
    , mEditor(new QTextEdit(this))
    , mDictation(new Dictation(this))
    , mSpeech(new TextToSpeechKokoro(this))
    , mWhisperBanner(new WhisperSpeechToTextInstallMessageWidget(this))
    , mKokoroBanner(new TextToSpeechKokoroInstallMessageWidget(this))
    , mErrorBanner(new HostKit::MessageBanner(this))
    , mVoiceMenu(new VoiceMenu(this))
    , mStateLabel(new QLabel(this))
{
    setWindowTitle(u"Earlobe & Larynx Editor"_s);
    mEditor->setObjectName(u"editor"_s);
    mEditor->setAcceptRichText(false);
    mWhisperBanner->setObjectName(u"whisperBanner"_s);
    mKokoroBanner->setObjectName(u"kokoroBanner"_s);
    mErrorBanner->setObjectName(u"errorBanner"_s);
    mErrorBanner->setMessageType(HostKit::MessageBanner::Error);
    mErrorBanner->setWordWrap(true);
    mErrorBanner->setCloseButtonVisible(true);
    mStateLabel->setObjectName(u"stateLabel"_s);
    mVoiceMenu->setObjectName(u"voiceMenu"_s);

    createActions();
    createMenus();
    createToolBar();
    setCentralWidget(createCentralWidget());
    // Wide enough for every state, so that the status bar does not jump as they change.
    mStateLabel->setMinimumWidth(mStateLabel->fontMetrics().horizontalAdvance(u"Reading paused"_s) + 16);
    mStateLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusBar()->addPermanentWidget(mStateLabel);

    connect(mWhisperBanner, &WhisperSpeechToTextInstallMessageWidget::installPackages, this, &EditorWindow::installWhisper);
    connect(mKokoroBanner, &TextToSpeechKokoroInstallMessageWidget::installPackages, this, &EditorWindow::installKokoro);

    connect(mDictation, &Dictation::stateChanged, this, &EditorWindow::handleDictationState);
    connect(mDictation, &Dictation::partialText, this, &EditorWindow::showPartial);
    connect(mDictation, &Dictation::finalText, this, &EditorWindow::insertFinal);
    connect(mDictation, &Dictation::errorOccurred, this, &EditorWindow::showError);

    connect(mSpeech, &TextToSpeechKokoro::stateChanged, this, &EditorWindow::handleSpeechState);
    connect(mSpeech, &TextToSpeechKokoro::errorOccurred, this, &EditorWindow::handleSpeechError);
    connect(mSpeech, &TextToSpeechKokoro::synthesized, this, &EditorWindow::collectSpeech);
    connect(mVoiceMenu, &VoiceMenu::voiceSelected, this, &EditorWindow::selectVoice);

    const HostKit::ConfigGroup group(readAloudGroup);
    const QString voice = group.readEntry(voiceKey, defaultVoice);
    mSpeech->setVoiceIdentifier(voice);
    mVoiceMenu->setCurrentVoice(voice);
    mRateSlider->setValue(group.readEntry(rateKey, u"0"_s).toInt());
    mVolumeSlider->setValue(group.readEntry(volumeKey, u"100"_s).toInt());

    handleDictationState(Dictation::State::Idle);
    handleSpeechState(TextToSpeechState::Ready);
    resize(900, 600);
}

EditorWindow::~EditorWindow() = default;

QTextEdit *EditorWindow::editor() const
{
    return mEditor;
}

void EditorWindow::createActions()
{
    mDictateAction = new QAction(QIcon::fromTheme(u"audio-input-microphone"_s), u"&Dictate"_s, this);
    mDictateAction->setObjectName(u"dictateAction"_s);
    mDictateAction->setCheckable(true);
    mDictateAction->setShortcut(u"Ctrl+D"_s);
    mDictateAction->setToolTip(u"Dictate at the cursor (Ctrl+D); press again to finish, Escape to cancel"_s);
    // triggered, not toggled: the window sets the checked state itself as dictation moves on.
    connect(mDictateAction, &QAction::triggered, this, &EditorWindow::toggleDictation);

    mCancelDictationAction = new QAction(u"&Cancel Dictation"_s, this);
    mCancelDictationAction->setObjectName(u"cancelDictationAction"_s);
    mCancelDictationAction->setShortcut(Qt::Key_Escape);
    connect(mCancelDictationAction, &QAction::triggered, this, &EditorWindow::cancelDictation);

    mReadAloudAction = new QAction(QIcon::fromTheme(u"media-playback-start"_s), u"&Read Aloud"_s, this);
    mReadAloudAction->setObjectName(u"readAloudAction"_s);
    mReadAloudAction->setShortcut(u"Ctrl+R"_s);
    mReadAloudAction->setToolTip(u"Read the selection, or the text from the cursor on (Ctrl+R)"_s);
    connect(mReadAloudAction, &QAction::triggered, this, &EditorWindow::readAloud);

    mPauseAction = new QAction(QIcon::fromTheme(u"media-playback-pause"_s), u"&Pause"_s, this);
    mPauseAction->setObjectName(u"pauseAction"_s);
    mPauseAction->setCheckable(true);
    mPauseAction->setShortcut(u"Ctrl+Shift+P"_s);
    connect(mPauseAction, &QAction::triggered, this, &EditorWindow::togglePause);

    mStopAction = new QAction(QIcon::fromTheme(u"media-playback-stop"_s), u"&Stop"_s, this);
    mStopAction->setObjectName(u"stopAction"_s);
    mStopAction->setShortcut(u"Ctrl+Shift+S"_s);
    connect(mStopAction, &QAction::triggered, this, [this] {
        // A save that is stopped would leave a file cut short; it is dropped instead.
        mSavingSpeech = false;
        mSpeech->stop();
    });

    mSaveSpeechAction = new QAction(u"Save Speech as &WAV…"_s, this);
    mSaveSpeechAction->setObjectName(u"saveSpeechAction"_s);
    connect(mSaveSpeechAction, &QAction::triggered, this, &EditorWindow::saveSpeech);

    mCheckSetupAction = new QAction(u"Check Setup &Again"_s, this);
    mCheckSetupAction->setObjectName(u"checkSetupAction"_s);
    connect(mCheckSetupAction, &QAction::triggered, this, &EditorWindow::checkSetup);

    mDictationSettingsAction = new QAction(QIcon::fromTheme(u"configure"_s), u"Dictation &Settings…"_s, this);
    mDictationSettingsAction->setObjectName(u"dictationSettingsAction"_s);
    connect(mDictationSettingsAction, &QAction::triggered, this, &EditorWindow::showDictationSettings);
}

void EditorWindow::createMenus()
{
    QMenu *fileMenu = menuBar()->addMenu(u"&File"_s);
    fileMenu->addAction(u"&Open…"_s, QKeySequence::Open, this, &EditorWindow::openDocument);
    fileMenu->addAction(u"Save &As…"_s, QKeySequence::SaveAs, this, &EditorWindow::saveDocumentAs);
    fileMenu->addSeparator();
    fileMenu->addAction(u"&Quit"_s, QKeySequence::Quit, this, &QWidget::close);

    QMenu *speechMenu = menuBar()->addMenu(u"&Speech"_s);
    speechMenu->addAction(mDictateAction);
    speechMenu->addAction(mCancelDictationAction);
    speechMenu->addAction(mDictationSettingsAction);
    speechMenu->addSeparator();
    speechMenu->addAction(mReadAloudAction);
    speechMenu->addAction(mPauseAction);
    speechMenu->addAction(mStopAction);
    speechMenu->addMenu(mVoiceMenu);
    speechMenu->addAction(mSaveSpeechAction);
    speechMenu->addSeparator();
    speechMenu->addAction(mCheckSetupAction);
}

void EditorWindow::createToolBar()
{
    QToolBar *toolBar = addToolBar(u"Speech"_s);
    toolBar->setObjectName(u"speechToolBar"_s);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar->addAction(mDictateAction);
    toolBar->addSeparator();
    toolBar->addAction(mReadAloudAction);
    toolBar->addAction(mPauseAction);
    toolBar->addAction(mStopAction);

    mRateSlider = new QSlider(Qt::Horizontal, toolBar);
    mRateSlider->setObjectName(u"rateSlider"_s);
    mRateSlider->setRange(-100, 100);
    mRateSlider->setMaximumWidth(120);
    mRateSlider->setToolTip(u"Speaking rate: half speed to double speed"_s);
    connect(mRateSlider, &QSlider::valueChanged, this, &EditorWindow::applyRate);
    mVolumeSlider = new QSlider(Qt::Horizontal, toolBar);
    mVolumeSlider->setObjectName(u"volumeSlider"_s);
    mVolumeSlider->setRange(0, 100);
    mVolumeSlider->setMaximumWidth(120);
    mVolumeSlider->setToolTip(u"Volume"_s);
    connect(mVolumeSlider, &QSlider::valueChanged, this, &EditorWindow::applyVolume);

    toolBar->addSeparator();
    toolBar->addWidget(new QLabel(u" Rate "_s, toolBar));
    toolBar->addWidget(mRateSlider);
    toolBar->addWidget(new QLabel(u" Volume "_s, toolBar));
    toolBar->addWidget(mVolumeSlider);
}

QWidget *EditorWindow::createCentralWidget()
{
    auto central = new QWidget(this);
    auto layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QWidget *banner :
         {static_cast<QWidget *>(mWhisperBanner), static_cast<QWidget *>(mKokoroBanner), static_cast<QWidget *>(mErrorBanner)}) {
        banner->hide();
        layout->addWidget(banner);
    }
    layout->addWidget(mEditor);
    return central;
}

void EditorWindow::checkSetup()
{
    checkWhisper();
    checkKokoro();
}

void EditorWindow::checkWhisper()
{
    mWhisperState = SetupState::Checking;
    showStatus(u"Checking the dictation setup…"_s);
    auto job = new WhisperSpeechToTextCheckJob(this);
    connect(job, &WhisperSpeechToTextCheckJob::packagesInstalled, this, [this](const WhisperSpeechToTextCheckJob::CheckResult &result) {
        mWhisperState = SetupState::Usable;
        mWhisperProblem.clear();
        mDictation->setAudioFormat(result.sampleRate, result.channels);
        mWhisperBanner->hide();
        showStatus(u"Dictation is ready."_s);
        reportSetupChecked();
    });
    connect(job, &WhisperSpeechToTextCheckJob::needToInstallPackages, this, [this](const QStringList &missing) {
        WhisperSpeechToTextCheckJob::CheckResult result;
        result.missing = missing;
        showWhisperMissing(result.errorString(), missing);
    });
    connect(job, &WhisperSpeechToTextCheckJob::needToReinstall, this, [this] {
        WhisperSpeechToTextCheckJob::CheckResult result;
        result.needReinstall = true;
        showWhisperMissing(result.errorString(), WhisperSpeechToTextUtils::requiredModules());
    });
    job->start();
}

void EditorWindow::checkKokoro()
{
    mKokoroState = SetupState::Checking;
    auto job = new TextToSpeechKokoroCheckJob(this);
    connect(job, &TextToSpeechKokoroCheckJob::packagesInstalled, this, [this] {
        mKokoroState = SetupState::Usable;
        mKokoroProblem.clear();
        mKokoroBanner->hide();
        reportSetupChecked();
    });
    connect(job, &TextToSpeechKokoroCheckJob::needToInstallPackages, this, [this](const QStringList &missing) {
        TextToSpeechKokoroCheckJob::CheckResult result;
        result.missing = missing;
        showKokoroMissing(result.errorString(), missing);
    });
    connect(job, &TextToSpeechKokoroCheckJob::needToReinstall, this, [this] {
        TextToSpeechKokoroCheckJob::CheckResult result;
        result.needReinstall = true;
        showKokoroMissing(result.errorString(), TextToSpeechKokoroUtils::requiredModules());
    });
    job->start();
}

void EditorWindow::showWhisperMissing(const QString &text, const QStringList &modules)
{
    mWhisperState = SetupState::Missing;
    mWhisperProblem = text;
    mWhisperBanner->setText(text);
    mWhisperBanner->setMissingPackages(modules);
    mWhisperBanner->show();
    showStatus(text);
    reportSetupChecked();
}

void EditorWindow::showKokoroMissing(const QString &text, const QStringList &modules)
{
    mKokoroState = SetupState::Missing;
    mKokoroProblem = text;
    mKokoroBanner->setText(text);
    mKokoroBanner->setMissingPackages(modules);
    mKokoroBanner->show();
    reportSetupChecked();
}

void EditorWindow::reportSetupChecked()
{
    if (mWhisperState != SetupState::Checking && mKokoroState != SetupState::Checking)
        Q_EMIT setupChecked();
}

void EditorWindow::installWhisper(const QStringList &modules)
{
    auto dialog = new WhisperSpeechToTextInstallPythonDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModules(modules);
    connect(dialog, &WhisperSpeechToTextInstallPythonDialog::installDone, this, &EditorWindow::checkWhisper);
    connect(dialog, &WhisperSpeechToTextInstallPythonDialog::installFailed, this, [this] {
        showError(u"Installing dictation failed. The install window's log says why."_s);
    });
    dialog->show();
    dialog->startInstall();
}

void EditorWindow::installKokoro(const QStringList &modules)
{
    auto dialog = new TextToSpeechKokoroInstallPythonDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModules(modules);
    // The dialog does not report its outcome; what the check says afterwards is the outcome.
    connect(dialog, &QDialog::finished, this, &EditorWindow::checkKokoro);
    dialog->show();
    dialog->startInstall();
}

void EditorWindow::toggleDictation(bool on)
{
    if (!on) {
        mDictation->finish();
        return;
    }
    mErrorBanner->hide();
    if (mWhisperState == SetupState::Checking) {
        showStatus(u"The dictation setup is still being checked; try again in a moment."_s);
    } else if (mWhisperState == SetupState::Missing) {
        showError(u"Dictation is not set up: %1"_s.arg(mWhisperProblem));
    } else {
        mEditor->setFocus();
        mDictation->start();
    }
    handleDictationState(mDictation->state());
}

void EditorWindow::cancelDictation()
{
    if (mDictation->state() == Dictation::State::Idle)
        return;
    mDictation->cancel();
    showStatus(u"Dictation cancelled."_s);
}

void EditorWindow::handleDictationState(Dictation::State state)
{
    const bool idle = state == Dictation::State::Idle;
    mDictateAction->setChecked(state == Dictation::State::Listening);
    mDictateAction->setEnabled(state != Dictation::State::Transcribing);
    mCancelDictationAction->setEnabled(!idle);
    if (idle)
        sendInputMethodEvent(mEditor, {});
    switch (state) {
    case Dictation::State::Listening:
        mStateLabel->setText(u"● Listening"_s);
        break;
    case Dictation::State::Transcribing:
        mStateLabel->setText(u"Transcribing…"_s);
        break;
    case Dictation::State::Idle:
        mStateLabel->setText(stateText(mSpeech->state()));
        break;
    }
}

void EditorWindow::showPartial(const QString &text)
{
    sendInputMethodEvent(mEditor, spacedForCursor(mEditor->textCursor(), text));
}

void EditorWindow::insertFinal(const QString &text)
{
    // The pre-edit text goes first, so that the blank before the final text is judged on the
    // document alone.
    sendInputMethodEvent(mEditor, {});
    const QString spaced = spacedForCursor(mEditor->textCursor(), text);
    if (!spaced.isEmpty())
        sendInputMethodEvent(mEditor, {}, spaced);
}

QString EditorWindow::textToRead() const
{
    const QTextCursor cursor = mEditor->textCursor();
    if (cursor.hasSelection())
        return cursor.selection().toPlainText();
    QTextCursor rest(cursor);
    rest.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    const QString text = rest.selection().toPlainText();
    // With the cursor at the end, as after typing, the whole text is what is meant.
    return text.trimmed().isEmpty() ? mEditor->toPlainText() : text;
}

void EditorWindow::readAloud()
{
    const QString text = textToRead();
    if (text.trimmed().isEmpty()) {
        showStatus(u"There is no text to read."_s);
        return;
    }
    mErrorBanner->hide();
    mSavingSpeech = false;
    mSpeech->say(text);
}

void EditorWindow::togglePause(bool paused)
{
    if (paused)
        mSpeech->pause();
    else
        mSpeech->resume();
    // The engine ignores a pause before any audio plays; the button must not claim otherwise.
    mPauseAction->setChecked(mSpeech->state() == TextToSpeechState::Paused);
}

void EditorWindow::saveSpeech()
{
    const QString path = QFileDialog::getSaveFileName(this, u"Save Speech as WAV"_s, u"speech.wav"_s, u"WAV audio (*.wav)"_s);
    if (!path.isEmpty())
        saveSpeechTo(path);
}

void EditorWindow::saveSpeechTo(const QString &path)
{
    const QTextCursor cursor = mEditor->textCursor();
    const QString text = cursor.hasSelection() ? cursor.selection().toPlainText() : mEditor->toPlainText();
    if (text.trimmed().isEmpty()) {
        showStatus(u"There is no text to save as speech."_s);
        return;
    }
    mErrorBanner->hide();
    mSpeechPath = path;
    mSpeechAudio.clear();
    mSpeechFormat = {};
    mSavingSpeech = true;
    mSpeech->synthesize(text);
}

void EditorWindow::handleSpeechState(TextToSpeechState state)
{
    const bool active = state == TextToSpeechState::Speaking || state == TextToSpeechState::Paused;
    mPauseAction->setEnabled(active);
    mPauseAction->setChecked(state == TextToSpeechState::Paused);
    mStopAction->setEnabled(active || state == TextToSpeechState::Synthesizing);
    if (mDictation->state() == Dictation::State::Idle)
        mStateLabel->setText(stateText(state));
    if (state == TextToSpeechState::Ready && mSavingSpeech)
        finishSavingSpeech();
}

void EditorWindow::handleSpeechError(QTextToSpeech::ErrorReason reason, const QString &message)
{
    mSavingSpeech = false;
    if (reason == QTextToSpeech::ErrorReason::Initialization && mKokoroState != SetupState::Usable && !mKokoroProblem.isEmpty())
        showError(u"%1 (%2)"_s.arg(message, mKokoroProblem));
    else
        showError(message);
}

void EditorWindow::collectSpeech(const QAudioFormat &format, const QByteArray &data)
{
    if (!mSavingSpeech)
        return;
    mSpeechFormat = format;
    mSpeechAudio.append(data);
}

void EditorWindow::finishSavingSpeech()
{
    mSavingSpeech = false;
    if (mSpeechAudio.isEmpty() || !mSpeechFormat.isValid()) {
        // Stopped before any audio came: nothing to write, and no empty file either.
        showStatus(u"No speech was saved."_s);
        return;
    }
    QString error;
    if (!WavFile::write(mSpeechPath, mSpeechFormat, mSpeechAudio, &error)) {
        showError(error);
        return;
    }
    const double seconds = double(mSpeechFormat.durationForBytes(mSpeechAudio.size())) / 1e6;
    showStatus(u"Saved %1 s of speech to %2."_s.arg(seconds, 0, 'f', 1).arg(mSpeechPath));
    mSpeechAudio.clear();
}

void EditorWindow::selectVoice(const QString &identifier)
{
    if (!mSpeech->setVoiceIdentifier(identifier)) {
        showError(u"The voice %1 cannot be used."_s.arg(identifier));
        return;
    }
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(voiceKey, identifier);
    group.sync();
}

void EditorWindow::applyRate(int value)
{
    mSpeech->setRate(value / 100.0);
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(rateKey, QString::number(value));
}

void EditorWindow::applyVolume(int value)
{
    mSpeech->setVolume(value / 100.0);
    HostKit::ConfigGroup group(readAloudGroup);
    group.writeEntry(volumeKey, QString::number(value));
}

bool EditorWindow::openFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        showError(u"Cannot open %1: %2"_s.arg(path, file.errorString()));
        return false;
    }
    mEditor->setPlainText(QString::fromUtf8(file.readAll()));
    setWindowFilePath(path);
    return true;
}

void EditorWindow::openDocument()
{
    const QString path = QFileDialog::getOpenFileName(this, u"Open Text"_s);
    if (!path.isEmpty())
        openFile(path);
}

void EditorWindow::saveDocumentAs()
{
    const QString path = QFileDialog::getSaveFileName(this, u"Save Text As"_s, windowFilePath());
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(mEditor->toPlainText().toUtf8()) < 0 || !file.commit()) {
        showError(u"Cannot save %1: %2"_s.arg(path, file.errorString()));
        return;
    }
    setWindowFilePath(path);
    showStatus(u"Saved %1."_s.arg(path));
}

void EditorWindow::showDictationSettings()
{
    auto dialog = new DictationSettingsDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void EditorWindow::showError(const QString &message)
{
    mErrorBanner->setText(message);
    mErrorBanner->show();
    statusBar()->showMessage(message, 10000);
}

void EditorWindow::showStatus(const QString &message)
{
    statusBar()->showMessage(message, 5000);
}
