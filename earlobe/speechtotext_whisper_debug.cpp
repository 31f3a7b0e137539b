#include "speechtotext_whisper_debug.h"

// Info and up by default: debug output only when the user asks for it.
Q_LOGGING_CATEGORY(SPEECHTOTEXT_WHISPER_LOG, "org.earlobelarynx.speechtotext_lib.whisper", QtInfoMsg)
