#include "whisperspeechtotextinstallpythondialog.h"
#include "whisperspeechtotextinstallpythonwidget.h"

#include <dialogsizekeeper.h>
#include <standardguiitem.h>
#include <translation.h>

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

WhisperSpeechToTextInstallPythonDialog::WhisperSpeechToTextInstallPythonDialog(QWidget *parent)
    : QDialog(parent)
    , mWhisperInstallPythonWidget(new WhisperSpeechToTextInstallPythonWidget(this))
    , mCloseButton(new QPushButton(this))
{
    setWindowTitle(HostKit::i18ndc(TRANSLATION_DOMAIN, "@title:window", "Install Whisper Package"));

    auto mainLayout = new QVBoxLayout(this);
    mainLayout->setObjectName(u"mainLayout"_s);
    mWhisperInstallPythonWidget->setObjectName(u"mWhisperInstallPythonWidget"_s);
    mainLayout->addWidget(mWhisperInstallPythonWidget);

    auto box = new QDialogButtonBox(this);
    box->setObjectName(u"box"_s);
    mCloseButton->setObjectName(u"mCloseButton"_s);
    box->addButton(mCloseButton, QDialogButtonBox::RejectRole);
    HostKit::StandardGuiItem::assignClose(mCloseButton);
    mainLayout->addWidget(box);

    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // One job ending while another runs (a download during an installation) keeps it locked.
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installInProgress, mCloseButton, [this](bool status) {
        mCloseButton->setEnabled(!status && !mWhisperInstallPythonWidget->isBusy());
    });
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installDone, this,
            &WhisperSpeechToTextInstallPythonDialog::installDone);
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installFailed, this,
            &WhisperSpeechToTextInstallPythonDialog::installFailed);
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::selfTestFinished, this,
            &WhisperSpeechToTextInstallPythonDialog::selfTestFinished);

    // Wide enough for the row of the model chooser and its two buttons.
    new HostKit::DialogSizeKeeper(this, u"WhisperSpeechToTextInstallPythonDialog"_s, QSize(500, 300));
}

WhisperSpeechToTextInstallPythonDialog::~WhisperSpeechToTextInstallPythonDialog() = default;

void WhisperSpeechToTextInstallPythonDialog::setModules(const QStringList &modules)
{
    mWhisperInstallPythonWidget->setModules(modules);
}

void WhisperSpeechToTextInstallPythonDialog::startInstall()
{
    mCloseButton->setEnabled(false);
    mWhisperInstallPythonWidget->startInstall();
}

void WhisperSpeechToTextInstallPythonDialog::startSelfTest()
{
    mWhisperInstallPythonWidget->startSelfTest();
}

void WhisperSpeechToTextInstallPythonDialog::reject()
{
    // Escape and the window's close control end here as the close button does; closing while
    // pip runs would leave a half-built environment behind.
    if (mWhisperInstallPythonWidget->isInstalling()) {
        mWhisperInstallPythonWidget->appendLogMessage(HostKit::i18nd(
            TRANSLATION_DOMAIN, "This window stays open until the installation ends: closing it now would leave a half-built environment."));
        return;
    }
    if (mWhisperInstallPythonWidget->isDownloading()) {
        mWhisperInstallPythonWidget->appendLogMessage(
            HostKit::i18nd(TRANSLATION_DOMAIN, "This window stays open until the model download ends: closing it now would stop it."));
        return;
    }
    QDialog::reject();
}
