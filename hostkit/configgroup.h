#pragma once

#include "hostkit_export.h"

#include <QString>

#include <memory>

class QSettings;

namespace HostKit
{
// A named group of string entries in the application's per-user configuration file.
class HOSTKIT_EXPORT ConfigGroup
{
public:
    explicit ConfigGroup(const QString &name);
    ~ConfigGroup();

    ConfigGroup(const ConfigGroup &) = delete;
    ConfigGroup &operator=(const ConfigGroup &) = delete;
    ConfigGroup(ConfigGroup &&other) noexcept;
    ConfigGroup &operator=(ConfigGroup &&other) noexcept;

    [[nodiscard]] QString name() const;

    [[nodiscard]] QString readEntry(const QString &key, const QString &defaultValue = {}) const;
    void writeEntry(const QString &key, const QString &value);
    void deleteEntry(const QString &key);
    [[nodiscard]] bool hasKey(const QString &key) const;

    void sync();

    [[nodiscard]] static QString configFilePath();

private:
    QString mName;
    std::unique_ptr<QSettings> mSettings;
};
} // namespace HostKit
