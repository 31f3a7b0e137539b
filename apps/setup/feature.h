#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the tool needs to know of one feature to talk about it: its name on the command
// line, where its environment lives and what makes it complete. Everything is asked from
// the feature's own utilities each time, so an environment created meanwhile is seen.
class Feature
{
public:
    enum class Kind {
        Whisper,
        Kokoro,
    };

    explicit Feature(Kind kind);

    [[nodiscard]] static std::optional<Feature> fromName(const QString &name);
    [[nodiscard]] static QStringList names();

    [[nodiscard]] Kind kind() const;
    [[nodiscard]] QString name() const;
    [[nodiscard]] QString venvPath() const;
    [[nodiscard]] QString venvPython() const;
    [[nodiscard]] QString venvPip() const;
    [[nodiscard]] QString helperScript() const;
    [[nodiscard]] QString helperScriptPath() const;
    [[nodiscard]] QString systemPython() const;
    [[nodiscard]] QString systemPythonPath() const;
    [[nodiscard]] QStringList requiredModules() const;

private:
    Kind mKind;
};
