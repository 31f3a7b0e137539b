#include "messagebanner.h"

#include "standardguiitem.h"

#include <QAction>
#include <QActionEvent>
#include <QApplication>
#include <QColor>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QStyle>
#include <QToolButton>

using namespace Qt::StringLiterals;

namespace HostKit
{
namespace
{
struct TypeLook {
    QColor colour;
    QString iconName;
    QStyle::StandardPixmap fallbackIcon;
};

TypeLook lookOf(MessageBanner::MessageType type)
{
    switch (type) {
    case MessageBanner::Positive:
        return {QColor(0x27, 0xae, 0x60), u"dialog-positive"_s, QStyle::SP_DialogApplyButton};
    case MessageBanner::Information:
        return {QColor(0x3d, 0xae, 0xe9), u"dialog-information"_s, QStyle::SP_MessageBoxInformation};
    case MessageBanner::Warning:
        return {QColor(0xf6, 0x74, 0x00), u"dialog-warning"_s, QStyle::SP_MessageBoxWarning};
    case MessageBanner::Error:
        return {QColor(0xda, 0x44, 0x53), u"dialog-error"_s, QStyle::SP_MessageBoxCritical};
    }
    return {};
}

QColor mixed(const QColor &base, const QColor &tint, qreal amount)
{
    return QColor::fromRgbF(base.redF() + (tint.redF() - base.redF()) * amount, base.greenF() + (tint.greenF() - base.greenF()) * amount,
                            base.blueF() + (tint.blueF() - base.blueF()) * amount);
}
} // namespace

MessageBanner::MessageBanner(QWidget *parent)
    : MessageBanner(QString(), parent)
{
}

MessageBanner::MessageBanner(const QString &text, QWidget *parent)
    : QFrame(parent)
    , mLayout(new QHBoxLayout(this))
    , mIconLabel(new QLabel(this))
    , mTextLabel(new QLabel(text, this))
    , mCloseButton(new QToolButton(this))
{
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    mIconLabel->setObjectName(u"iconLabel"_s);
    mIconLabel->setAlignment(Qt::AlignTop);

    mTextLabel->setObjectName(u"messageLabel"_s);
    mTextLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);
    mTextLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    mCloseButton->setObjectName(u"closeButton"_s);
    mCloseButton->setAutoRaise(true);
    mCloseButton->setIcon(StandardGuiItem::closeIcon());
    mCloseButton->setToolTip(StandardGuiItem::closeText().remove(u'&'));
    connect(mCloseButton, &QToolButton::clicked, this, [this] {
        hide();
        Q_EMIT closed();
    });

    mLayout->addWidget(mIconLabel);
    mLayout->addWidget(mTextLabel, 1);
    mLayout->addWidget(mCloseButton);

    updateAppearance();
}

MessageBanner::~MessageBanner() = default;

QString MessageBanner::text() const
{
    return mTextLabel->text();
}

void MessageBanner::setText(const QString &text)
{
    mTextLabel->setText(text);
}

MessageBanner::MessageType MessageBanner::messageType() const
{
    return mMessageType;
}

void MessageBanner::setMessageType(MessageType type)
{
    if (mMessageType == type)
        return;
    mMessageType = type;
    updateAppearance();
}

bool MessageBanner::wordWrap() const
{
    return mTextLabel->wordWrap();
}

void MessageBanner::setWordWrap(bool wordWrap)
{
    mTextLabel->setWordWrap(wordWrap);
    // A wrapping label needs its height to follow the width it is given.
    setSizePolicy(QSizePolicy::Preferred, wordWrap ? QSizePolicy::Minimum : QSizePolicy::Fixed);
    updateGeometry();
}

bool MessageBanner::isCloseButtonVisible() const
{
    return !mCloseButton->isHidden();
}

void MessageBanner::setCloseButtonVisible(bool visible)
{
    mCloseButton->setVisible(visible);
}

void MessageBanner::actionEvent(QActionEvent *event)
{
    QAction *action = event->action();
    switch (event->type()) {
    case QEvent::ActionAdded:
        addActionButton(action, event->before());
        break;
    case QEvent::ActionRemoved:
        removeActionButton(action);
        break;
    case QEvent::ActionChanged:
        // The tool button follows its action's text, icon and enabled state, not its visibility.
        if (QToolButton *button = mActionButtons.value(action))
            button->setVisible(action->isVisible());
        break;
    default:
        break;
    }
    QFrame::actionEvent(event);
}

void MessageBanner::addActionButton(QAction *action, QAction *before)
{
    auto *button = new QToolButton(this);
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setVisible(action->isVisible());

    int index = mLayout->indexOf(mCloseButton);
    if (QToolButton *beforeButton = mActionButtons.value(before))
        index = mLayout->indexOf(beforeButton);
    mLayout->insertWidget(index, button);
    mActionButtons.insert(action, button);
}

void MessageBanner::removeActionButton(QAction *action)
{
    QToolButton *button = mActionButtons.take(action);
    if (!button)
        return;
    // Deleted at once so that no stale button lingers among the children; QAbstractButton
    // guards its click against being deleted by the action it triggers.
    delete button;
}

void MessageBanner::updateAppearance()
{
    const TypeLook look = lookOf(mMessageType);

    QPalette tinted = QApplication::palette(this);
    tinted.setColor(QPalette::Window, mixed(tinted.color(QPalette::Window), look.colour, 0.25));
    setPalette(tinted);

    const int extent = style()->pixelMetric(QStyle::PM_ToolBarIconSize, nullptr, this);
    const QIcon icon = QIcon::fromTheme(look.iconName, style()->standardIcon(look.fallbackIcon, nullptr, this));
    mIconLabel->setPixmap(icon.pixmap(QSize(extent, extent), devicePixelRatioF()));
}
} // namespace HostKit
