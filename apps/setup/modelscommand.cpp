#include "modelscommand.h"
#include "console.h"
#include "feature.h"
#include "texttable.h"

#include <whisperspeechtotextcachedmodelsjob.h>
#include <whisperspeechtotextutils.h>

#include <QLocale>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace
{
constexpr qint64 Mebibyte = 1024 * 1024;

QString sizeText(int sizeMib)
{
    const qint64 bytes = sizeMib * Mebibyte;
    // Whole mebibytes read well; gibibytes need their first decimal.
    const int precision = sizeMib < 1024 ? 0 : 1;
    return QLocale().formattedDataSize(bytes, precision, QLocale::DataSizeIecFormat);
}
} // namespace

ModelsCommand::ModelsCommand(QObject *parent)
    : Command(parent)
{
}

void ModelsCommand::start()
{
    const Feature whisper(Feature::Kind::Whisper);
    if (reportIfNotInstalled(whisper, false)) {
        finish(NotInstalled);
        return;
    }
    if (whisper.venvPython().isEmpty() && whisper.systemPythonPath().isEmpty()) {
        Console::error(u"Neither the whisper environment nor %1 was found: install %1."_s.arg(whisper.systemPython()));
        finish(NotInstalled);
        return;
    }
    mChosenModel = WhisperSpeechToTextUtils::loadModel();

    auto job = new WhisperSpeechToTextModelsJob(this);
    connect(job, &WhisperSpeechToTextModelsJob::modelsLoaded, this, [this](const WhisperSpeechToTextModelsJob::ModelInfos &models) {
        mModels = models;
        printWhenComplete();
    });
    connect(job, &WhisperSpeechToTextModelsJob::modelsFailed, this, [this] {
        Console::error(u"Unable to list the whisper models."_s);
        finish(JobFailed);
    });
    job->start();
    startCachedModelsJob();
}

void ModelsCommand::startCachedModelsJob()
{
    // Without an environment nothing can have been downloaded through it.
    if (WhisperSpeechToTextUtils::venvPython().isEmpty()) {
        mCachedModels = QStringList();
        return;
    }
    auto job = new WhisperSpeechToTextCachedModelsJob(this);
    connect(job, &WhisperSpeechToTextCachedModelsJob::cachedModelsLoaded, this, [this](const QStringList &models) {
        mCachedModels = models;
        mCachedModelsKnown = true;
        printWhenComplete();
    });
    connect(job, &WhisperSpeechToTextCachedModelsJob::cachedModelsFailed, this, [this] {
        mCachedModels = QStringList();
        printWhenComplete();
    });
    job->start();
}

void ModelsCommand::printWhenComplete()
{
    if (!mModels || !mCachedModels)
        return;
    printTable();
    printNotes();
    finish(Success);
}

void ModelsCommand::printTable() const
{
    TextTable table({u"ID"_s, u"NAME"_s, u"SIZE"_s, u"MULTILINGUAL"_s, u"STATE"_s});
    for (const WhisperSpeechToTextModelsJob::ModelInfo &model : std::as_const(*mModels)) {
        table.addRow(
            {model.identifier, model.name, sizeText(model.sizeMib), model.multilingual ? u"yes"_s : u"no"_s, states(model).join(u", "_s)});
    }
    const QStringList lines = table.lines();
    for (const QString &line : lines)
        Console::out(line);
}

void ModelsCommand::printNotes() const
{
    if (WhisperSpeechToTextUtils::venvPython().isEmpty())
        Console::out(
            u"No model is downloaded yet: the whisper environment does not exist. Create it with: %1 install whisper"_s.arg(programName()));
    else if (!mCachedModelsKnown)
        Console::error(u"Which models are downloaded could not be found out."_s);

    if (mChosenModel.isEmpty()) {
        Console::out(u"No model is chosen for dictation. Choose one with: %1 download-model ID --select"_s.arg(programName()));
        return;
    }
    const bool listed = std::any_of(mModels->cbegin(), mModels->cend(), [this](const WhisperSpeechToTextModelsJob::ModelInfo &model) {
        return model.identifier == mChosenModel;
    });
    if (!listed)
        Console::out(u"The model chosen for dictation, %1, is not in the catalogue."_s.arg(mChosenModel));
}

QStringList ModelsCommand::states(const WhisperSpeechToTextModelsJob::ModelInfo &model) const
{
    QStringList result;
    if (model.isDefault)
        result.append(u"default"_s);
    if (mCachedModels->contains(model.identifier))
        result.append(u"downloaded"_s);
    if (model.identifier == mChosenModel)
        result.append(u"chosen"_s);
    return result;
}
