#pragma once

#include "earlobe_setup_export.h"

#include <QString>
#include <QStringList>

// Where the dictation feature keeps its things: the virtual environment, the helper script,
// the python modules of a complete installation, and the user's stored choices. Nothing is
// cached, so an environment created or removed while the host runs is seen by the next call.
namespace WhisperSpeechToTextUtils
{
[[nodiscard]] EARLOBE_SETUP_EXPORT QString pythonVersion();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString pythonVersionPath();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString pythonScript();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString pythonScriptPath();
[[nodiscard]] EARLOBE_SETUP_EXPORT QStringList requiredModules();

[[nodiscard]] EARLOBE_SETUP_EXPORT QString defaultVenvPath();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString defaultVenvPython();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString defaultVenvPip();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString venvPython();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString venvPip();

[[nodiscard]] EARLOBE_SETUP_EXPORT QString groupName();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString modelKey();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString languageKey();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString computeTypeKey();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString deviceKey();

[[nodiscard]] EARLOBE_SETUP_EXPORT QString loadModel();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString loadLanguage();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString loadComputeType();
[[nodiscard]] EARLOBE_SETUP_EXPORT QString loadDevice();

EARLOBE_SETUP_EXPORT void saveModel(const QString &model);
EARLOBE_SETUP_EXPORT void saveLanguage(const QString &language);
EARLOBE_SETUP_EXPORT void saveComputeType(const QString &computeType);
EARLOBE_SETUP_EXPORT void saveDevice(const QString &device);
} // namespace WhisperSpeechToTextUtils
