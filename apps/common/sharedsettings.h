#pragma once

#include <QCoreApplication>
#include <QString>

// The hosts keep their settings in one per-user file, named after this application name, so
// that a model chosen with the setup tool is the one the editor and the dictation tool use.
inline void useSharedSettings()
{
    QCoreApplication::setApplicationName(QStringLiteral("earlobe-larynx"));
}
