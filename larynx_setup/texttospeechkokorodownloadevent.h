#pragma once

#include "larynx_setup_export.h"

#include <QByteArray>
#include <QString>

namespace TextEditTextToSpeech
{
// One event line of kokoro_helper.py's download mode, read the way the download job acts on it.
struct LARYNX_SETUP_EXPORT TextToSpeechKokoroDownloadEvent {
    enum class Kind {
        Ignored,
        Downloading,
        Progress,
        Error,
    };

    Kind kind = Kind::Ignored;
    QString file;
    QString message;
    int index = 0;
    int total = 0;

    [[nodiscard]] static TextToSpeechKokoroDownloadEvent fromLine(const QByteArray &line);
};
} // namespace TextEditTextToSpeech
