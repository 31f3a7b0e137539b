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
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installInProgress, mCloseButton, [this](bool status) {
        mCloseButton->setEnabled(!status);
    });
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installDone, this,
            &WhisperSpeechToTextInstallPythonDialog::installDone);
    connect(mWhisperInstallPythonWidget, &WhisperSpeechToTextInstallPythonWidget::installFailed, this,
            &WhisperSpeechToTextInstallPythonDialog::installFailed);

    new HostKit::DialogSizeKeeper(this, u"WhisperSpeechToTextInstallPythonDialog"_s, QSize(400, 300));
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
