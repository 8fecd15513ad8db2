// Messages, progress and cancellation of a run: through the record's hooks when the caller gave
// them, else the standard streams (log lines on stdout under "verbose", warnings on stderr).
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "config/stderr_lines.hpp"
#include "nuvex/config.h"

namespace {

std::mutex g_stderr_mutex;
bool g_progress_open = false;  // a progress line without its newline is on standard error

std::string vformat(const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

const NVXRunHooks* hooks_of(const NVXConfig* config) { return config ? config->hooks : nullptr; }

// The stream form of each level when no hook takes the message.
void to_streams(const NVXConfig* config, int level, const char* tag, const std::string& text) {
    const bool verbose = config && config->verbose;
    switch (level) {
        case NVX_MSG_LOG:
            if (verbose) std::printf("[%s-c] %s\n", tag ? tag : "", text.c_str());
            break;
        case NVX_MSG_TEXT:
            if (verbose) std::fputs(text.c_str(), stdout);
            break;
        case NVX_MSG_NOTICE: std::printf("%s\n", text.c_str()); break;
        default: nvx::stderr_line(text.c_str()); break;
    }
}

void deliver(const NVXConfig* config, int level, const char* tag, const char* format, va_list ap) {
    const NVXRunHooks* h = hooks_of(config);
    if (h && h->message) {
        if (level < h->min_level) return;
        h->message(level, tag ? tag : "", vformat(format, ap).c_str(), h->user);
        return;
    }
    if ((level == NVX_MSG_LOG || level == NVX_MSG_TEXT) && !(config && config->verbose)) return;
    to_streams(config, level, tag, vformat(format, ap));
}

}  // namespace

namespace nvx {

void stderr_progress(const char* text) {
    std::lock_guard<std::mutex> lock(g_stderr_mutex);
    std::fprintf(stderr, "\r%s", text);
    std::fflush(stderr);
    g_progress_open = true;
}

void stderr_progress_end() {
    std::lock_guard<std::mutex> lock(g_stderr_mutex);
    if (g_progress_open) std::fputc('\n', stderr);
    std::fflush(stderr);
    g_progress_open = false;
}

void stderr_line(const char* text) {
    std::lock_guard<std::mutex> lock(g_stderr_mutex);
    std::fprintf(stderr, "%s%s\n", g_progress_open ? "\n" : "", text);
    std::fflush(stderr);
    g_progress_open = false;
}

}  // namespace nvx

extern "C" {

void nvx_log(const NVXConfig* config, const char* tag, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    deliver(config, NVX_MSG_LOG, tag, format, ap);
    va_end(ap);
}

void nvx_message(const NVXConfig* config, int level, const char* tag, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    deliver(config, level, tag, format, ap);
    va_end(ap);
}

int nvx_progress(const NVXConfig* config, const char* stage, double done, double total) {
    const NVXRunHooks* h = hooks_of(config);
    if (!h || !h->progress) return 0;
    h->progress(stage ? stage : "", done, total, h->user);
    return 1;
}

int nvx_run_cancelled(const NVXConfig* config) {
    const NVXRunHooks* h = hooks_of(config);
    return h && nvx_cancel_requested(h->cancel);
}

void nvx_cancel_request(NVXCancelToken* token) {
    if (token) __atomic_store_n(&token->flag, 1, __ATOMIC_RELAXED);
}

void nvx_cancel_reset(NVXCancelToken* token) {
    if (token) __atomic_store_n(&token->flag, 0, __ATOMIC_RELAXED);
}

int nvx_cancel_requested(const NVXCancelToken* token) {
    return token && __atomic_load_n(&token->flag, __ATOMIC_RELAXED) != 0;
}

}  // extern "C"
