#pragma once

#include "hostkit_export.h"

#include <QObject>
#include <QSize>
#include <QString>

class QDialog;

namespace HostKit
{
// Gives a dialog the size it had when it was last done, kept in the configuration store under
// a group of its own, or a default size the first time.
class HOSTKIT_EXPORT DialogSizeKeeper : public QObject
{
    Q_OBJECT

public:
    explicit DialogSizeKeeper(QDialog *dialog, const QString &groupName, const QSize &defaultSize);
    ~DialogSizeKeeper() override;

    [[nodiscard]] QString groupName() const;

    [[nodiscard]] static QSize storedSize(const QString &groupName);

private:
    void storeSize();

    QDialog *mDialog = nullptr;
    QString mGroupName;
};
} // namespace HostKit
