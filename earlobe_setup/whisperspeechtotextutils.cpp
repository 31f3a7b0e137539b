#include "whisperspeechtotextutils.h"

#include <configgroup.h>

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

using namespace Qt::Literals::StringLiterals;

namespace
{
QString existingOrNull(const QString &path)
{
    return QFileInfo::exists(path) ? path : QString();
}

QString load(const QString &key)
{
    return HostKit::ConfigGroup(WhisperSpeechToTextUtils::groupName()).readEntry(key);
}

// An empty value removes the key: "not set" and "set to nothing" must read the same.
void save(const QString &key, const QString &value)
{
    HostKit::ConfigGroup group(WhisperSpeechToTextUtils::groupName());
    if (value.isEmpty())
        group.deleteEntry(key);
    else
        group.writeEntry(key, value);
    group.sync();
}
} // namespace

QString WhisperSpeechToTextUtils::pythonVersion()
{
    return u"python3"_s;
}

QString WhisperSpeechToTextUtils::pythonVersionPath()
{
    return QStandardPaths::findExecutable(pythonVersion());
}

QString WhisperSpeechToTextUtils::pythonScript()
{
    return u"whisper_helper.py"_s;
}

QString WhisperSpeechToTextUtils::pythonScriptPath()
{
    return QStandardPaths::findExecutable(pythonScript());
}

QStringList WhisperSpeechToTextUtils::requiredModules()
{
    return {u"faster-whisper"_s, u"numpy"_s};
}

QString WhisperSpeechToTextUtils::defaultVenvPath()
{
    return QDir::homePath() + "/.venv/whisper"_L1;
}

QString WhisperSpeechToTextUtils::defaultVenvPython()
{
    return defaultVenvPath() + "/bin/python"_L1;
}

QString WhisperSpeechToTextUtils::defaultVenvPip()
{
    return defaultVenvPath() + "/bin/pip"_L1;
}

QString WhisperSpeechToTextUtils::venvPython()
{
    return existingOrNull(defaultVenvPython());
}

QString WhisperSpeechToTextUtils::venvPip()
{
    return existingOrNull(defaultVenvPip());
}

QString WhisperSpeechToTextUtils::groupName()
{
    return u"WhisperSpeechToText"_s;
}

QString WhisperSpeechToTextUtils::modelKey()
{
    return u"Model"_s;
}

QString WhisperSpeechToTextUtils::languageKey()
{
    return u"Language"_s;
}

QString WhisperSpeechToTextUtils::computeTypeKey()
{
    return u"ComputeType"_s;
}

QString WhisperSpeechToTextUtils::deviceKey()
{
    return u"Device"_s;
}

QString WhisperSpeechToTextUtils::loadModel()
{
    return load(modelKey());
}

QString WhisperSpeechToTextUtils::loadLanguage()
{
    return load(languageKey());
}

QString WhisperSpeechToTextUtils::loadComputeType()
{
    return load(computeTypeKey());
}

QString WhisperSpeechToTextUtils::loadDevice()
{
    return load(deviceKey());
}

void WhisperSpeechToTextUtils::saveModel(const QString &model)
{
    save(modelKey(), model);
}

void WhisperSpeechToTextUtils::saveLanguage(const QString &language)
{
    save(languageKey(), language);
}

void WhisperSpeechToTextUtils::saveComputeType(const QString &computeType)
{
    save(computeTypeKey(), computeType);
}

void WhisperSpeechToTextUtils::saveDevice(const QString &device)
{
    save(deviceKey(), device);
}
