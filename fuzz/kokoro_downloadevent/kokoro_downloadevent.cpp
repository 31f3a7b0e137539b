#include "fuzzsupport.h"

#include <texttospeechkokorodownloadevent.h>

#include <QJsonDocument>
#include <QJsonObject>

using TextEditTextToSpeech::TextToSpeechKokoroDownloadEvent;
using Kind = TextToSpeechKokoroDownloadEvent::Kind;

namespace
{
bool sameEvent(const TextToSpeechKokoroDownloadEvent &left, const TextToSpeechKokoroDownloadEvent &right)
{
    return left.kind == right.kind && left.file == right.file && left.message == right.message && left.index == right.index
        && left.total == right.total;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

// The download job cuts its output at line feeds and reads each line alone, so every line
// of the input is one event here.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QList<QByteArray> lines = FuzzSupport::bytes(data, size).split('\n');
    for (const QByteArray &line : lines) {
        const TextToSpeechKokoroDownloadEvent event = TextToSpeechKokoroDownloadEvent::fromLine(line);
        require(sameEvent(TextToSpeechKokoroDownloadEvent::fromLine(line), event), "parsing is deterministic");

        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const QString type = object.value("type"_L1).toString();
        switch (event.kind) {
        case Kind::Ignored:
            require(sameEvent(event, {}), "an ignored line carries nothing");
            require(object.isEmpty() || type == u"finished"_s, "only empty objects and the end of the download are ignored");
            break;
        case Kind::Downloading:
            require(type == u"downloading"_s, "a download message comes from a downloading event");
            require(event.index == 0 && event.total == 0 && event.message.isEmpty(), "a download message carries only its file");
            break;
        case Kind::Progress:
            require(!object.isEmpty() && type != u"downloading"_s && type != u"finished"_s && type != u"error"_s,
                    "progress comes from any other event");
            require(event.message.isEmpty(), "progress carries no message");
            break;
        case Kind::Error:
            require(type == u"error"_s, "an error comes from an error event");
            break;
        }
    }
    return 0;
}
