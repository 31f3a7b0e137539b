#include "editorwindow.h"
#include "dictationsettingsdialog.h"
#include "readaloudcontroller.h"
#include "sharedsettings.h"
#include "voicemenu.h"

#include <messagebanner.h>
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
#include <QTextEdit>
#include <QToolBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

namespace
{
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
} // namespace

EditorWindow::EditorWindow(QWidget *parent)
    : QMainWindow(parent)
    , mEditor(new QTextEdit(this))
    , mDictation(new Dictation(this))
    , mReadAloud(new ReadAloudController(mEditor, this))
    , mWhisperBanner(new WhisperSpeechToTextInstallMessageWidget(this))
    , mKokoroBanner(new TextToSpeechKokoroInstallMessageWidget(this))
    , mErrorBanner(new HostKit::MessageBanner(this))
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

    connect(mReadAloud, &ReadAloudController::requestStarted, mErrorBanner, &QWidget::hide);
    connect(mReadAloud, &ReadAloudController::stateChanged, this, &EditorWindow::showSpeechState);
    connect(mReadAloud, &ReadAloudController::statusMessage, this, &EditorWindow::showStatus);
    connect(mReadAloud, &ReadAloudController::errorMessage, this, &EditorWindow::showError);

    handleDictationState(Dictation::State::Idle);
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

    mCheckSetupAction = new QAction(u"Check Setup &Again"_s, this);
    mCheckSetupAction->setObjectName(u"checkSetupAction"_s);
    connect(mCheckSetupAction, &QAction::triggered, this, &EditorWindow::checkSetup);

    mDictationSettingsAction = new QAction(QIcon::fromTheme(u"configure"_s), u"Dictation &Settings…"_s, this);
    mDictationSettingsAction->setObjectName(u"dictationSettingsAction"_s);
    connect(mDictationSettingsAction, &QAction::triggered, this, &EditorWindow::showDictationSettings);

    // The install windows also prove a working setup: their Test button says how fast it is.
    mDictationSetupAction = new QAction(u"Dictation Set&up…"_s, this);
    mDictationSetupAction->setObjectName(u"dictationSetupAction"_s);
    connect(mDictationSetupAction, &QAction::triggered, this, [this] {
        showInstallDialog(whisperInstallDialog());
    });
    mReadAloudSetupAction = new QAction(u"Read-Aloud Setu&p…"_s, this);
    mReadAloudSetupAction->setObjectName(u"readAloudSetupAction"_s);
    connect(mReadAloudSetupAction, &QAction::triggered, this, [this] {
        showInstallDialog(kokoroInstallDialog());
    });
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
    speechMenu->addAction(mReadAloud->readAloudAction());
    speechMenu->addAction(mReadAloud->pauseAction());
    speechMenu->addAction(mReadAloud->stopAction());
    speechMenu->addAction(mReadAloud->previousSentenceAction());
    speechMenu->addAction(mReadAloud->nextSentenceAction());
    speechMenu->addMenu(mReadAloud->voiceMenu());
    speechMenu->addAction(mReadAloud->saveSpeechAction());
    speechMenu->addSeparator();
    speechMenu->addAction(mCheckSetupAction);
    speechMenu->addAction(mDictationSetupAction);
    speechMenu->addAction(mReadAloudSetupAction);
}

void EditorWindow::createToolBar()
{
    QToolBar *toolBar = addToolBar(u"Speech"_s);
    toolBar->setObjectName(u"speechToolBar"_s);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar->addAction(mDictateAction);
    toolBar->addSeparator();
    toolBar->addAction(mReadAloud->readAloudAction());
    toolBar->addAction(mReadAloud->pauseAction());
    toolBar->addAction(mReadAloud->stopAction());
    toolBar->addAction(mReadAloud->previousSentenceAction());
    toolBar->addAction(mReadAloud->nextSentenceAction());
    toolBar->addSeparator();
    toolBar->addWidget(new QLabel(u" Rate "_s, toolBar));
    toolBar->addWidget(mReadAloud->rateSlider());
    toolBar->addWidget(new QLabel(u" Volume "_s, toolBar));
    toolBar->addWidget(mReadAloud->volumeSlider());
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
        mReadAloud->setSetupProblem({});
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
    mReadAloud->setSetupProblem(text);
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
    showInstallDialog(whisperInstallDialog());
    if (mWhisperInstalling)
        return;
    mWhisperInstalling = true;
    mWhisperInstallDialog->setModules(modules);
    mWhisperInstallDialog->startInstall();
}

void EditorWindow::installKokoro(const QStringList &modules)
{
    showInstallDialog(kokoroInstallDialog());
    if (mKokoroInstalling)
        return;
    mKokoroInstalling = true;
    mKokoroInstallDialog->setModules(modules);
    mKokoroInstallDialog->startInstall();
}

WhisperSpeechToTextInstallPythonDialog *EditorWindow::whisperInstallDialog()
{
    if (mWhisperInstallDialog)
        return mWhisperInstallDialog;
    mWhisperInstallDialog = new WhisperSpeechToTextInstallPythonDialog(this);
    mWhisperInstallDialog->setObjectName(u"whisperInstallDialog"_s);
    connect(mWhisperInstallDialog, &WhisperSpeechToTextInstallPythonDialog::installDone, this, [this] {
        mWhisperInstalling = false;
        checkWhisper();
    });
    connect(mWhisperInstallDialog, &WhisperSpeechToTextInstallPythonDialog::installFailed, this, [this] {
        mWhisperInstalling = false;
        showError(u"Installing dictation failed. The install window's log says why."_s);
        // A failed installation may still have changed what the environment holds.
        checkWhisper();
    });
    return mWhisperInstallDialog;
}

TextToSpeechKokoroInstallPythonDialog *EditorWindow::kokoroInstallDialog()
{
    if (!mKokoroInstallDialog) {
        mKokoroInstallDialog = new TextToSpeechKokoroInstallPythonDialog(this);
        mKokoroInstallDialog->setObjectName(u"kokoroInstallDialog"_s);
        connect(mKokoroInstallDialog, &TextToSpeechKokoroInstallPythonDialog::installDone, this, [this] {
            mKokoroInstalling = false;
            checkKokoro();
        });
        connect(mKokoroInstallDialog, &TextToSpeechKokoroInstallPythonDialog::installFailed, this, [this] {
            mKokoroInstalling = false;
            showError(u"Installing read-aloud failed. The install window's log says why."_s);
            // A failed installation may still have changed what the environment holds.
            checkKokoro();
        });
    }
    // The test reads with the voice the reader uses, which may have changed since.
    mKokoroInstallDialog->setTestVoice(ReadAloudSettings::loadVoice());
    return mKokoroInstallDialog;
}

void EditorWindow::showInstallDialog(QDialog *dialog)
{
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
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
        mStateLabel->setText(mReadAloud->stateText());
        break;
    }
}

void EditorWindow::showSpeechState()
{
    // Dictation's state takes the label while it runs.
    if (mDictation->state() == Dictation::State::Idle)
        mStateLabel->setText(mReadAloud->stateText());
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

void EditorWindow::saveSpeechTo(const QString &path)
{
    mReadAloud->saveSpeechTo(path);
}

bool EditorWindow::openFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        showError(u"Cannot open %1: %2"_s.arg(path, file.errorString()));
        return false;
    }
    // The text being read goes away, and with it the reading.
    mReadAloud->stopReading();
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
