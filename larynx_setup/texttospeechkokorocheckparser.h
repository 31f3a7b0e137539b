#pragma once

#include "larynx_setup_export.h"
#include "texttospeechkokorocheckjob.h"

#include <QByteArray>

namespace TextEditTextToSpeech
{
// Turns the output of kokoro_helper.py's check mode into a CheckResult. Kept apart from the
// job so that the parsing can be exercised on its own, without a process.
class LARYNX_SETUP_EXPORT TextToSpeechKokoroCheckParser
{
public:
    [[nodiscard]] static TextToSpeechKokoroCheckJob::CheckResult parse(const QByteArray &data);
    // errorOutput is the helper's standard error: its last line explains an unusable answer.
    [[nodiscard]] static TextToSpeechKokoroCheckJob::CheckResult parse(const QByteArray &data, const QByteArray &errorOutput);
};
} // namespace TextEditTextToSpeech
