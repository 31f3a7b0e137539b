#include "downloadmodelcommand.h"
#include "console.h"
#include "feature.h"

#include <whisperspeechtotextdownloadmodeljob.h>
#include <whisperspeechtotextmodelsjob.h>
#include <whisperspeechtotextutils.h>

using namespace Qt::Literals::StringLiterals;

DownloadModelCommand::DownloadModelCommand(const QString &model, bool select, QObject *parent)
    : Command(parent)
    , mModel(model)
    , mSelect(select)
    , mErrorStream(stderr)
    , mProgressBar(&mErrorStream, Console::isTerminal(stderr))
{
}

void DownloadModelCommand::start()
{
    if (reportIfNotInstalled(Feature(Feature::Kind::Whisper), true)) {
        finish(NotInstalled);
        return;
    }
    const QString model = mModel.isEmpty() ? WhisperSpeechToTextUtils::loadModel() : mModel;
    if (model.isEmpty())
        findDefaultModel();
    else
        download(model);
}

void DownloadModelCommand::findDefaultModel()
{
    auto job = new WhisperSpeechToTextModelsJob(this);
    connect(job, &WhisperSpeechToTextModelsJob::modelsLoaded, this, [this](const WhisperSpeechToTextModelsJob::ModelInfos &models) {
        const QString model = WhisperSpeechToTextModelsJob::defaultModel(models);
        if (model.isEmpty()) {
            Console::error(u"No model is chosen and the catalogue names no default: name one (see %1 models)."_s.arg(programName()));
            finish(BadUsage);
            return;
        }
        Console::out(u"No model is chosen for dictation: downloading the default one, %1."_s.arg(model));
        download(model);
    });
    connect(job, &WhisperSpeechToTextModelsJob::modelsFailed, this, [this] {
        Console::error(u"No model is chosen, and the catalogue that names the default one could not be listed."_s);
        finish(JobFailed);
    });
    job->start();
}

void DownloadModelCommand::download(const QString &model)
{
    mProgressBar.setLabel(model);
    auto job = new WhisperSpeechToTextDownloadModelJob(this);
    job->setModel(model);
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadMessage, this, &DownloadModelCommand::printMessage);
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadProgress, this, [this](int percent, qint64 received, qint64 total) {
        mProgressBar.setProgress(received, total, percent);
    });
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelDone, this, [this, model] {
        mProgressBar.finish();
        if (mSelect) {
            WhisperSpeechToTextUtils::saveModel(model);
            Console::out(u"The %1 model is now the one used for dictation."_s.arg(model));
        }
        finish(Success);
    });
    connect(job, &WhisperSpeechToTextDownloadModelJob::downloadModelFailed, this, [this, model] {
        mProgressBar.finish();
        Console::error(u"Unable to download the %1 model."_s.arg(model));
        finish(JobFailed);
    });
    job->start();
}

void DownloadModelCommand::printMessage(const QString &message)
{
    // The bar shares the terminal with standard output: it steps aside for the line.
    mProgressBar.clear();
    Console::out(message);
    mProgressBar.redraw();
}
