#include "fuzzsupport.h"

#include <whisperspeechtotextmodelsjob.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::require;
    const QByteArray output = FuzzSupport::bytes(data, size);
    const WhisperSpeechToTextModelsJob::ModelInfos models = WhisperSpeechToTextModelsJob::parseModels(output);
    require(WhisperSpeechToTextModelsJob::parseModels(output) == models, "parsing is deterministic");

    const qsizetype entries = QJsonDocument::fromJson(output).object().value("models"_L1).toArray().size();
    require(models.size() <= entries, "no model comes from nowhere");

    QString firstDefault;
    for (const WhisperSpeechToTextModelsJob::ModelInfo &info : models) {
        require(info.isValid(), "every model has an identifier");
        require(!info.name.isEmpty(), "every model has a name to show");
        require(info == info, "a model equals itself");
        if (info.isDefault && firstDefault.isEmpty())
            firstDefault = info.identifier;
    }
    require(WhisperSpeechToTextModelsJob::defaultModel(models) == firstDefault, "the default is the first one marked");
    return 0;
}
