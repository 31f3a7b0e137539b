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
    // Overlapping work is not counted: the panel's latest signal decides.
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installDone, mCloseButton, [this] {
        mCloseButton->setEnabled(true);
    });
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installFailed, mCloseButton, [this] {
        mCloseButton->setEnabled(true);
    });
    connect(mKokoroInstallPythonWidget, &TextToSpeechKokoroInstallPythonWidget::installInProgress, mCloseButton, [this](bool status) {
        mCloseButton->setEnabled(!status);
    });

    new HostKit::DialogSizeKeeper(this, u"TextToSpeechKokoroInstallPythonDialog"_s, QSize(400, 300));
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
} // namespace TextEditTextToSpeech
