#pragma once

#include "hostkit_export.h"

#include <QIcon>
#include <QString>

class QAbstractButton;

// The text and icon of a standard Close button, as Qt's own dialogs show them.
namespace HostKit::StandardGuiItem
{
[[nodiscard]] HOSTKIT_EXPORT QString closeText();
[[nodiscard]] HOSTKIT_EXPORT QIcon closeIcon();
HOSTKIT_EXPORT void assignClose(QAbstractButton *button);
} // namespace HostKit::StandardGuiItem
