// Messages after the mount: to the system log, and in the foreground to
// standard error as well (where there may be no system log to read).
#include "frontend/frontend.h"

#include <atomic>
#include <cstdio>
#include <string_view>
#include <syslog.h>

namespace {

std::atomic<bool> to_stderr_too{false};

} // namespace

void hfs_log_to_stderr_too(bool also) {
    to_stderr_too = also;
}

void log_syslog(const char* format, const char*, int, va_list args) {
    if (to_stderr_too) {
        va_list copy;
        va_copy(copy, args);
        char text[1024];
        std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        std::string_view shown(text);
        while (!shown.empty() && shown.back() == '\n') shown.remove_suffix(1);
        std::fprintf(stderr, "%s: %.*s\n", program_invocation_short_name,
                     static_cast<int>(shown.size()), shown.data());
    }
    vsyslog(LOG_ERR, format, args);
}
