#include "fuzzsupport.h"

#include <whisperspeechtotextdownloadmodeljob.h>

#include <QJsonDocument>
#include <QJsonObject>

using DownloadEvent = WhisperSpeechToTextDownloadModelJob::DownloadEvent;

namespace
{
bool sameEvent(const DownloadEvent &left, const DownloadEvent &right)
{
    return left.type == right.type && left.model == right.model && left.message == right.message && left.path == right.path
        && left.received == right.received && left.total == right.total && left.percent == right.percent;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QByteArray line = FuzzSupport::bytes(data, size);
    const DownloadEvent event = WhisperSpeechToTextDownloadModelJob::parseEvent(line);
    require(sameEvent(WhisperSpeechToTextDownloadModelJob::parseEvent(line), event), "parsing is deterministic");
    require(event.isValid() == !event.type.isEmpty(), "isValid follows the type");

    if (!event.isValid()) {
        require(sameEvent(event, DownloadEvent{}), "an invalid event carries nothing");
        require(event.percent == -1, "an invalid event has no percentage");
        return 0;
    }
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    if (!object.contains("percent"_L1))
        require(event.percent == -1, "without a percentage the event says so with -1");
    return 0;
}
