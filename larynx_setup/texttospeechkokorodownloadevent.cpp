#include "texttospeechkokorodownloadevent.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::Literals::StringLiterals;

namespace TextEditTextToSpeech
{
TextToSpeechKokoroDownloadEvent TextToSpeechKokoroDownloadEvent::fromLine(const QByteArray &line)
{
    TextToSpeechKokoroDownloadEvent event;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    if (object.isEmpty())
        return event;
    const QString type = object.value("type"_L1).toString();
    // Success is judged by the helper's exit alone.
    if (type == "finished"_L1)
        return event;
    event.file = object.value("file"_L1).toString();
    if (type == "downloading"_L1) {
        event.kind = Kind::Downloading;
        return event;
    }
    // Every other type, "error" included, reports how far the download got.
    event.kind = type == "error"_L1 ? Kind::Error : Kind::Progress;
    event.index = object.value("index"_L1).toInt(0);
    event.total = object.value("total"_L1).toInt(0);
    if (event.kind == Kind::Error)
        event.message = object.value("message"_L1).toString();
    return event;
}
} // namespace TextEditTextToSpeech
