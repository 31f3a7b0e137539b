#include "texttospeechkokoroinstallpythondialog.h"
#include "texttospeechkokoroinstallpythonwidget.h"

#include <dialogsizekeeper.h>
#include <standardguiitem.h>
#include <translation.h>

#include <QDialogButtonBox>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
TextToSpeechKokoroInstallPythonDialog::TextToSpeechKokoroInstallPythonDialog(QWidget *parent)
    : QDialog(parent)
    , mKokoroInstallPythonWidget(new TextToSpeechKokoroInstallPythonWidget(this))
    , mCloseButton(new QPushButton(this))
{
    setWindowTitle(HostKit::i18ndc(TRANSLATION_DOMAIN, "@title:window", "Install Kokoro Package"));

    auto mainLayout = new QVBoxLayout(this);
    mainLayout->setObjectName(u"mainlayout"_s);
    mKokoroInstallPythonWidget->setObjectName(u"mKokoroInstallPythonWidget"_s);
    mainLayout->addWidget(mKokoroInstallPythonWidget);

    auto box = new QDialogButtonBox(this);
    box->setObjectName(u"box"_s);
    mCloseButton->setObjectName(u"mCloseButton"_s);
    box->addButton(mCloseButton, QDialogButtonBox::RejectRole);
    HostKit::StandardGuiItem::assignClose(mCloseButton);
    mainLayout->addWidget(box);

    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // Whatever ended, the button follows what still runs: a download ending during an
    // installation leaves it locked.
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installDone, this, [this] {
        updateCloseButton();
        Q_EMIT installDone();
    });
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installFailed, this, [this] {
        updateCloseButton();
        Q_EMIT installFailed();
    });
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installInProgress, this, [this] {
        updateCloseButton();
    });
    connect(mKokoroInstallPythonWidget,
            &TextToSpeechKokoroInstallPythonWidget::selfTestFinished,
            this,
            &TextToSpeechKokoroInstallPythonDialog::selfTestFinished);

    new HostKit::DialogSizeKeeper(this, u"TextToSpeechKokoroInstallPythonDialog"_s, QSize(500, 300));
}

TextToSpeechKokoroInstallPythonDialog::~TextToSpeechKokoroInstallPythonDialog() = default;

void TextToSpeechKokoroInstallPythonDialog::setModules(const QStringList &modules)
{
    mKokoroInstallPythonWidget->setModules(modules);
}

void TextToSpeechKokoroInstallPythonDialog::startInstall()
{
    // Before the panel starts: when there is nothing to install, it re-enables the button
    // from within startInstall().
    mCloseButton->setEnabled(false);
    mKokoroInstallPythonWidget->startInstall();
}

void TextToSpeechKokoroInstallPythonDialog::setTestVoice(const QString &voice)
{
    mKokoroInstallPythonWidget->setTestVoice(voice);
}

void TextToSpeechKokoroInstallPythonDialog::startSelfTest()
{
    mKokoroInstallPythonWidget->startSelfTest();
}

void TextToSpeechKokoroInstallPythonDialog::reject()
{
    // Escape, the close button and the window's close control all come here.
    if (mKokoroInstallPythonWidget->isInstalling() || mKokoroInstallPythonWidget->isDownloading()) {
        mKokoroInstallPythonWidget->reportCloseRefused();
        return;
    }
    QDialog::reject();
}

void TextToSpeechKokoroInstallPythonDialog::updateCloseButton()
{
    mCloseButton->setEnabled(!mKokoroInstallPythonWidget->isInstalling() && !mKokoroInstallPythonWidget->isDownloading());
}
} // namespace TextEditTextToSpeech
