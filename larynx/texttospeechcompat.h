#pragma once

#include <QMetaType>
#include <QTextToSpeech>
#include <QtGlobal>

// The engine reports Qt's text-to-speech states. Qt added the Synthesizing state in 6.6; on
// older Qt the engine uses an enumeration of its own with the same names and numbers, so that
// the code reads the same on both.
namespace TextEditTextToSpeech
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
using TextToSpeechState = QTextToSpeech::State;
#else
enum class TextToSpeechState {
    Ready = 0,
    Speaking = 1,
    Paused = 2,
    Error = 3,
    Synthesizing = 4,
};

static_assert(int(TextToSpeechState::Ready) == int(QTextToSpeech::Ready));
static_assert(int(TextToSpeechState::Speaking) == int(QTextToSpeech::Speaking));
static_assert(int(TextToSpeechState::Paused) == int(QTextToSpeech::Paused));
static_assert(int(TextToSpeechState::Error) == int(QTextToSpeech::Error));
#endif

using TextToSpeechErrorReason = QTextToSpeech::ErrorReason;
} // namespace TextEditTextToSpeech

#if QT_VERSION < QT_VERSION_CHECK(6, 6, 0)
Q_DECLARE_METATYPE(TextEditTextToSpeech::TextToSpeechState)
#endif
