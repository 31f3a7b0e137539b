#include "texttospeechkokoroinstallmessagewidget.h"

#include <translation.h>

#include <QAction>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
TextToSpeechKokoroInstallMessageWidget::TextToSpeechKokoroInstallMessageWidget(QWidget *parent)
    : HostKit::MessageBanner(parent)
{
    setMessageType(Error);
    setWordWrap(true);
    setCloseButtonVisible(true);

    auto installAction = new QAction(HostKit::i18ndc(TRANSLATION_DOMAIN, "@action", "Install"), this);
    installAction->setObjectName(u"installAction"_s);
    connect(installAction, &QAction::triggered, this, [this] {
        Q_EMIT installPackages(mMissingPackages);
    });
    addAction(installAction);
}

TextToSpeechKokoroInstallMessageWidget::~TextToSpeechKokoroInstallMessageWidget() = default;

void TextToSpeechKokoroInstallMessageWidget::setMissingPackages(const QStringList &packages)
{
    mMissingPackages = packages;
}
} // namespace TextEditTextToSpeech
