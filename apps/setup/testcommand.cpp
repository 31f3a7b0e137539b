#include "testcommand.h"
#include "console.h"
#include "sharedsettings.h"

#include <texttospeechkokoroselftestjob.h>
#include <whisperspeechtotextselftestjob.h>

using namespace Qt::Literals::StringLiterals;
using namespace TextEditTextToSpeech;

TestCommand::TestCommand(const Feature &feature, const QString &choice, QObject *parent)
    : Command(parent)
    , mFeature(feature)
    , mChoice(choice)
{
}

void TestCommand::start()
{
    if (reportIfNotInstalled(mFeature, true)) {
        finish(NotInstalled);
        return;
    }
    if (mFeature.kind() == Feature::Kind::Whisper)
        testWhisper();
    else
        testKokoro();
}

void TestCommand::testWhisper()
{
    auto job = new WhisperSpeechToTextSelfTestJob(this);
    if (!mChoice.isEmpty())
        job->setModel(mChoice);
    connect(job, &WhisperSpeechToTextSelfTestJob::testMessage, this, &Console::error);
    connect(job, &WhisperSpeechToTextSelfTestJob::testDone, this, [this](const QString &summary) {
        reportVerdict(true, false, summary);
    });
    connect(job, &WhisperSpeechToTextSelfTestJob::testFailed, this, [this, job](const QString &summary) {
        using Problem = WhisperSpeechToTextSelfTestJob::Problem;
        const Problem problem = job->result().problem;
        reportVerdict(false, problem == Problem::NotDownloaded || problem == Problem::NotInstalled, summary);
    });
    job->start();
}

void TestCommand::testKokoro()
{
    auto job = new TextToSpeechKokoroSelfTestJob(this);
    job->setVoice(mChoice.isEmpty() ? ReadAloudSettings::loadVoice() : mChoice);
    connect(job, &TextToSpeechKokoroSelfTestJob::testMessage, this, &Console::error);
    connect(job, &TextToSpeechKokoroSelfTestJob::testDone, this, [this](const QString &summary) {
        reportVerdict(true, false, summary);
    });
    connect(job, &TextToSpeechKokoroSelfTestJob::testFailed, this, [this, job](const QString &summary) {
        using Problem = TextToSpeechKokoroSelfTestJob::Problem;
        const Problem problem = job->result().problem;
        reportVerdict(false, problem == Problem::NotDownloaded || problem == Problem::MissingPackages || problem == Problem::NotInstalled,
                      summary);
    });
    job->start();
}

void TestCommand::reportVerdict(bool works, bool missingSomething, const QString &summary)
{
    Console::out(summary);
    // Something not yet installed or downloaded is told apart from a test that ran and
    // failed, as the other commands do.
    finish(works ? Success : missingSomething ? NotInstalled : JobFailed);
}
