#include "speechtotext_whisperinstall_debug.h"

// Info and up by default: debug output only when the user asks for it.
Q_LOGGING_CATEGORY(SPEECHTOTEXT_WHISPERINSTALL_LOG, "org.earlobelarynx.speechtotext_lib.whisperinstall", QtInfoMsg)
