// Library logging: one process-wide default log descriptor decides which
// lines pass and where they go (standard error and/or a callback that gets
// the line together with a context text). The library keeps its own copy of
// the default, so a caller's descriptor may be gone right after installing it.
#pragma once

#include <cstdint>

extern "C" {

// Levels, most severe first; a line passes when its level is at or below the
// descriptor's threshold.
inline constexpr int LOG_LEVEL_EMERGENCY = 0;
inline constexpr int LOG_LEVEL_ALERT = 1;
inline constexpr int LOG_LEVEL_CRITICAL = 2;
inline constexpr int LOG_LEVEL_ERROR = 3;
inline constexpr int LOG_LEVEL_WARNING = 4;
inline constexpr int LOG_LEVEL_NOTICE = 5;
inline constexpr int LOG_LEVEL_INFO = 6;
inline constexpr int LOG_LEVEL_DEBUG = 7;

// The settings word: bits 0-3 hold the threshold level; the flags choose the
// outputs and the shape of the text.
inline constexpr uint32_t LOG_SETTING_LEVEL_MASK = 0x000f;
inline constexpr uint32_t LOG_SETTING_STDERR = 0x0400;     // write the line to standard error
inline constexpr uint32_t LOG_SETTING_CALLBACK = 0x0800;   // hand the line to the callback
inline constexpr uint32_t LOG_SETTING_LEVEL_NAME = 0x1000; // begin with "error: ", "warning: ", ...
inline constexpr uint32_t LOG_SETTING_ONE_LINE = 0x2000;   // control characters become '?'

// What Log_Reset puts into the settings word: warnings and worse, level
// name first, to standard error.
inline constexpr uint32_t LOG_SETTINGS_RESET = LOG_SETTING_STDERR | LOG_SETTING_LEVEL_NAME | LOG_LEVEL_WARNING;

inline constexpr int LOG_CONTEXT_SIZE = 64; // bytes, terminating zero included

// Receives one finished line (no newline) and the context text.
typedef void (*LogCallback)(const char *text, const char *context);

struct LogDesc {
    uint32_t settings; // first field: the settings word
    LogCallback callback;
    char context[LOG_CONTEXT_SIZE];
};

// Prepares a descriptor: LOG_SETTINGS_RESET, no callback, empty context.
void Log_Reset(LogDesc *desc);

// Sets the callback and copies the context text (null means empty) into the
// descriptor, and turns on LOG_SETTING_CALLBACK. A context that does not fit
// is refused: -1 with errno ENAMETOOLONG, descriptor unchanged. 0 on success.
[[nodiscard]] int Log_SetCallback(LogDesc *desc, LogCallback callback, const char *context);

// Installs a copy of the descriptor as the library's default. -1 (EINVAL) for
// a null descriptor, else 0.
[[nodiscard]] int Log_SetDefault(const LogDesc *desc);

// Formats one line (at most 1023 bytes, longer texts are cut and end in
// "...") and sends it through the default descriptor when its level passes.
void Log_Write(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // extern "C"
