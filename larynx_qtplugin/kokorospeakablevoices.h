#pragma once

#include <texttospeechkokoroutils.h>

#include <QList>

namespace TextEditTextToSpeech
{
namespace KokoroSpeakableVoices
{
// The catalogue's voices that can speak at once: those whose file the helper finds in the
// Hugging Face cache, in catalogue order. While the cache holds none, the voices of the
// languages shown by default, which the helper fetches on first use.
[[nodiscard]] QList<TextToSpeechKokoroUtils::KokoroVoice> voices();
} // namespace KokoroSpeakableVoices
} // namespace TextEditTextToSpeech
