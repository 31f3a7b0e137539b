#include "texttospeechkokoroinstallpythonevenvjob.h"
#include "texttospeech_kokoroinstall_debug.h"
#include "texttospeechkokoroutils.h"

#include <venvcreator.h>

#include <QDebug>

namespace TextEditTextToSpeech
{
TextToSpeechKokoroInstallPythonEvenvJob::TextToSpeechKokoroInstallPythonEvenvJob(QObject *parent)
    : QObject(parent)
{
}

TextToSpeechKokoroInstallPythonEvenvJob::~TextToSpeechKokoroInstallPythonEvenvJob() = default;

bool TextToSpeechKokoroInstallPythonEvenvJob::canStart() const
{
    return !TextToSpeechKokoroUtils::pythonVersionPath().isEmpty() && !TextToSpeechKokoroUtils::defaultVenvPath().isEmpty();
}

void TextToSpeechKokoroInstallPythonEvenvJob::start()
{
    if (!canStart()) {
        qCWarning(TEXTTOSPEECH_KOKOROINSTALL_LOG) << "Impossible to start TextToSpeechKokoroInstallPythonEvenvJob";
        failed();
        return;
    }
    auto creator = new HostKit::VenvCreator(this);
    creator->setLoggingCategory(TEXTTOSPEECH_KOKOROINSTALL_LOG);
    connect(creator, &HostKit::VenvCreator::created, this, &TextToSpeechKokoroInstallPythonEvenvJob::venvCreated);
    connect(creator, &HostKit::VenvCreator::failed, this, [this](const QString &reason) {
        Q_EMIT installMessage(reason);
        failed();
    });
    creator->create(TextToSpeechKokoroUtils::pythonVersionPath(), TextToSpeechKokoroUtils::defaultVenvPath());
}

void TextToSpeechKokoroInstallPythonEvenvJob::venvCreated()
{
    // pip is not looked for here: the module installation refuses to start without it.
    Q_EMIT installDone();
    deleteLater();
}

void TextToSpeechKokoroInstallPythonEvenvJob::failed()
{
    Q_EMIT installFailed();
    deleteLater();
}
} // namespace TextEditTextToSpeech
