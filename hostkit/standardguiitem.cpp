#include "standardguiitem.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QStyle>

using namespace Qt::StringLiterals;

namespace HostKit::StandardGuiItem
{
QString closeText()
{
    // Asked each time from a real button box, so that it follows the platform theme and any
    // translator installed since the last call.
    const QDialogButtonBox box(QDialogButtonBox::Close);
    return box.button(QDialogButtonBox::Close)->text();
}

QIcon closeIcon()
{
    return QIcon::fromTheme(u"window-close"_s, QApplication::style()->standardIcon(QStyle::SP_DialogCloseButton));
}

void assignClose(QAbstractButton *button)
{
    if (!button)
        return;
    button->setText(closeText());
    button->setIcon(closeIcon());
}
} // namespace HostKit::StandardGuiItem
