#include "whisperspeechtotextpluginjob.h"

WhisperSpeechToTextPluginJob::WhisperSpeechToTextPluginJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextPluginJob::~WhisperSpeechToTextPluginJob() = default;

void WhisperSpeechToTextPluginJob::start()
{
}
