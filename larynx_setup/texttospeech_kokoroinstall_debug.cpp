#include "texttospeech_kokoroinstall_debug.h"

// Info and up by default: debug output only when the user asks for it.
Q_LOGGING_CATEGORY(TEXTTOSPEECH_KOKOROINSTALL_LOG, "org.earlobelarynx.textospeech_lib.kokoroinstall", QtInfoMsg)
