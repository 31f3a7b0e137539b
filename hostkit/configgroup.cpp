#include "configgroup.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QVariant>

using namespace Qt::StringLiterals;

namespace HostKit
{
ConfigGroup::ConfigGroup(const QString &name)
    : mName(name)
    , mSettings(std::make_unique<QSettings>(configFilePath(), QSettings::IniFormat))
{
    mSettings->beginGroup(mName);
}

ConfigGroup::~ConfigGroup() = default;
ConfigGroup::ConfigGroup(ConfigGroup &&other) noexcept = default;
ConfigGroup &ConfigGroup::operator=(ConfigGroup &&other) noexcept = default;

QString ConfigGroup::name() const
{
    return mName;
}

QString ConfigGroup::readEntry(const QString &key, const QString &defaultValue) const
{
    const QVariant value = mSettings->value(key);
    if (!value.isValid())
        return defaultValue;
    // An unquoted comma in a hand-edited file makes QSettings read a list; the entry is still
    // one string to us.
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

void ConfigGroup::writeEntry(const QString &key, const QString &value)
{
    if (key.isEmpty())
        return;
    mSettings->setValue(key, value);
}

void ConfigGroup::deleteEntry(const QString &key)
{
    // QSettings::remove() with an empty key removes the whole group.
    if (key.isEmpty())
        return;
    mSettings->remove(key);
}

bool ConfigGroup::hasKey(const QString &key) const
{
    return mSettings->contains(key);
}

void ConfigGroup::sync()
{
    mSettings->sync();
}

QString ConfigGroup::configFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u'/' + QCoreApplication::applicationName() + u"rc"_s;
}
} // namespace HostKit
