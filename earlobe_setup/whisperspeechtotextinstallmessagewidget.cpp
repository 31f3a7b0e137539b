#include "whisperspeechtotextinstallmessagewidget.h"

#include <translation.h>

#include <QAction>

using namespace Qt::Literals::StringLiterals;

WhisperSpeechToTextInstallMessageWidget::WhisperSpeechToTextInstallMessageWidget(QWidget *parent)
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

WhisperSpeechToTextInstallMessageWidget::~WhisperSpeechToTextInstallMessageWidget() = default;

void WhisperSpeechToTextInstallMessageWidget::setMissingPackages(const QStringList &packages)
{
    mMissingPackages = packages;
}
