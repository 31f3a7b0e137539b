#pragma once

#include <QObject>
#include <QTextToSpeechPlugin>

namespace TextEditTextToSpeech
{
// Makes the Kokoro read-aloud engine one of QTextToSpeech's engines, under the name "kokoro".
class TextToSpeechKokoroPlugin : public QObject, public QTextToSpeechPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.qt.speech.tts.plugin/6.0" FILE "kokoro.json")
    Q_INTERFACES(QTextToSpeechPlugin)

public:
    QTextToSpeechEngine *createTextToSpeechEngine(const QVariantMap &parameters, QObject *parent, QString *errorString) const override;
};
} // namespace TextEditTextToSpeech
