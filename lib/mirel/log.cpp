#include "lib/mirel/log.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

LogDesc default_desc = {LOG_SETTINGS_RESET, nullptr, {}};

constexpr const char *level_names[] = {"emergency", "alert", "critical", "error", "warning", "notice", "info", "debug"};

constexpr size_t line_size = 1024;

} // namespace

extern "C" {

void Log_Reset(LogDesc *desc)
{
    if (desc == nullptr)
        return;
    desc->settings = LOG_SETTINGS_RESET;
    desc->callback = nullptr;
    std::memset(desc->context, 0, sizeof desc->context);
}

int Log_SetCallback(LogDesc *desc, LogCallback callback, const char *context)
{
    if (desc == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const char *text = context != nullptr ? context : "";
    size_t length = std::strlen(text);
    if (length >= sizeof desc->context) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(desc->context, text, length + 1);
    desc->callback = callback;
    desc->settings |= LOG_SETTING_CALLBACK;
    return 0;
}

int Log_SetDefault(const LogDesc *desc)
{
    if (desc == nullptr) {
        errno = EINVAL;
        return -1;
    }
    default_desc = *desc;
    default_desc.context[sizeof default_desc.context - 1] = '\0';
    return 0;
}

void Log_Write(int level, const char *format, ...)
{
    const LogDesc &desc = default_desc;
    if (level < LOG_LEVEL_EMERGENCY || level > LOG_LEVEL_DEBUG || format == nullptr)
        return;
    if (static_cast<uint32_t>(level) > (desc.settings & LOG_SETTING_LEVEL_MASK))
        return;
    bool to_callback = (desc.settings & LOG_SETTING_CALLBACK) != 0 && desc.callback != nullptr;
    bool to_stderr = (desc.settings & LOG_SETTING_STDERR) != 0;
    if (!to_callback && !to_stderr)
        return;

    char line[line_size];
    size_t used = 0;
    if ((desc.settings & LOG_SETTING_LEVEL_NAME) != 0)
        used = static_cast<size_t>(std::snprintf(line, sizeof line, "%s: ", level_names[level]));

    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (written < 0)
        return;
    if (static_cast<size_t>(written) >= sizeof line - used)
        std::memcpy(line + sizeof line - 4, "...", 4);

    if ((desc.settings & LOG_SETTING_ONE_LINE) != 0) {
        for (char *c = line; *c != '\0'; ++c) {
            if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f)
                *c = '?';
        }
    }

    if (to_callback)
        desc.callback(line, desc.context);
    if (to_stderr) {
        if (desc.context[0] != '\0')
            std::fprintf(stderr, "%s %s\n", desc.context, line);
        else
            std::fprintf(stderr, "%s\n", line);
    }
}

} // extern "C"
