#pragma once

#include <configgroup.h>

#include <QCoreApplication>
#include <QString>

// The hosts keep their settings in one per-user file, named after this application name, so
// that a model chosen with the setup tool is the one the editor and the dictation tool use.
inline void useSharedSettings()
{
    QCoreApplication::setApplicationName(QStringLiteral("earlobe-larynx"));
}

// The read-aloud choices the hosts share: the voice picked in the editor is the one the setup
// tool tests.
namespace ReadAloudSettings
{
inline QString group()
{
    return QStringLiteral("ReadAloud");
}

inline QString voiceKey()
{
    return QStringLiteral("Voice");
}

inline QString defaultVoice()
{
    return QStringLiteral("af_heart");
}

inline QString loadVoice()
{
    return HostKit::ConfigGroup(group()).readEntry(voiceKey(), defaultVoice());
}
} // namespace ReadAloudSettings
