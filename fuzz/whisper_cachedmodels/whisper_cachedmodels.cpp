#include "fuzzsupport.h"

#include <whisperspeechtotextcachedmodelsjob.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QByteArray output = FuzzSupport::bytes(data, size);
    const QStringList models = WhisperSpeechToTextCachedModelsJob::parseCachedModels(output);
    require(WhisperSpeechToTextCachedModelsJob::parseCachedModels(output) == models, "parsing is deterministic");
    require(models.size() <= output.count('\n') + 1, "at most one model per line");
    for (const QString &model : models)
        require(!model.isEmpty(), "no listed model is empty");

    // Lines are independent: the output cut at any line feed lists the models of both parts.
    const qsizetype lineFeed = output.indexOf('\n', output.isEmpty() ? 0 : qsizetype(data[0]) * output.size() / 256);
    if (lineFeed >= 0) {
        const QStringList split = WhisperSpeechToTextCachedModelsJob::parseCachedModels(output.left(lineFeed))
            + WhisperSpeechToTextCachedModelsJob::parseCachedModels(output.mid(lineFeed + 1));
        require(split == models, "the output cut at a line feed lists the same models");
    }
    return 0;
}
