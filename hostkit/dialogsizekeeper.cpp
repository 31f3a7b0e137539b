#include "dialogsizekeeper.h"

#include "configgroup.h"

#include <QDialog>

using namespace Qt::StringLiterals;

namespace HostKit
{
namespace
{
constexpr auto widthKey = "Width"_L1;
constexpr auto heightKey = "Height"_L1;
} // namespace

DialogSizeKeeper::DialogSizeKeeper(QDialog *dialog, const QString &groupName, const QSize &defaultSize)
    : QObject(dialog)
    , mDialog(dialog)
    , mGroupName(groupName)
{
    Q_ASSERT(dialog);
    const QSize stored = storedSize(mGroupName);
    const QSize size = stored.isValid() ? stored : defaultSize;
    if (size.isValid())
        mDialog->resize(size);
    connect(mDialog, &QDialog::finished, this, &DialogSizeKeeper::storeSize);
}

DialogSizeKeeper::~DialogSizeKeeper() = default;

QString DialogSizeKeeper::groupName() const
{
    return mGroupName;
}

QSize DialogSizeKeeper::storedSize(const QString &groupName)
{
    const ConfigGroup group(groupName);
    bool widthOk = false;
    bool heightOk = false;
    const int width = group.readEntry(widthKey).toInt(&widthOk);
    const int height = group.readEntry(heightKey).toInt(&heightOk);
    if (!widthOk || !heightOk || width <= 0 || height <= 0)
        return {};
    return {width, height};
}

void DialogSizeKeeper::storeSize()
{
    ConfigGroup group(mGroupName);
    group.writeEntry(widthKey, QString::number(mDialog->width()));
    group.writeEntry(heightKey, QString::number(mDialog->height()));
    group.sync();
}
} // namespace HostKit
