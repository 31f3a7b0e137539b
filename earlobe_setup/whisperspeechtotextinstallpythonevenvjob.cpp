#include "whisperspeechtotextinstallpythonevenvjob.h"
#include "speechtotext_whisperinstall_debug.h"
#include "whisperspeechtotextutils.h"

#include <venvcreator.h>

#include <QDebug>

using namespace Qt::Literals::StringLiterals;

WhisperSpeechToTextInstallPythonEvenvJob::WhisperSpeechToTextInstallPythonEvenvJob(QObject *parent)
    : QObject(parent)
{
}

WhisperSpeechToTextInstallPythonEvenvJob::~WhisperSpeechToTextInstallPythonEvenvJob() = default;

bool WhisperSpeechToTextInstallPythonEvenvJob::canStart() const
{
    return !WhisperSpeechToTextUtils::pythonVersionPath().isEmpty() && !WhisperSpeechToTextUtils::defaultVenvPath().isEmpty();
}

void WhisperSpeechToTextInstallPythonEvenvJob::start()
{
    if (!canStart()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Impossible to start WhisperSpeechToTextInstallPythonEvenvJob";
        failed();
        return;
    }
    auto creator = new HostKit::VenvCreator(this);
    creator->setLoggingCategory(SPEECHTOTEXT_WHISPERINSTALL_LOG);
    connect(creator, &HostKit::VenvCreator::created, this, &WhisperSpeechToTextInstallPythonEvenvJob::venvCreated);
    connect(creator, &HostKit::VenvCreator::failed, this, [this](const QString &reason) {
        Q_EMIT installMessage(reason);
        failed();
    });
    creator->create(WhisperSpeechToTextUtils::pythonVersionPath(), WhisperSpeechToTextUtils::defaultVenvPath());
}

void WhisperSpeechToTextInstallPythonEvenvJob::venvCreated()
{
    if (WhisperSpeechToTextUtils::venvPip().isEmpty()) {
        qCWarning(SPEECHTOTEXT_WHISPERINSTALL_LOG) << "Virtualenv created without pip:" << WhisperSpeechToTextUtils::defaultVenvPip();
        Q_EMIT installMessage(u"The python virtual environment %1 was created without pip."_s.arg(WhisperSpeechToTextUtils::defaultVenvPath()));
        failed();
        return;
    }
    Q_EMIT installDone();
    deleteLater();
}

void WhisperSpeechToTextInstallPythonEvenvJob::failed()
{
    Q_EMIT installFailed();
    deleteLater();
}
