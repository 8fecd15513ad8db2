/* Run hooks: where a run's messages and progress go, and how a caller cancels it.
 * Without hooks the library keeps its stream conventions (log under "verbose", warnings on stderr). */
#ifndef NUVEX_HOOKS_H
#define NUVEX_HOOKS_H

#include "nuvex/common.h"

NVX_BEGIN_DECLS

/* Message levels, from the step trace up to warnings. */
enum {
    NVX_MSG_DEBUG = 0,   /* step traces */
    NVX_MSG_LOG = 1,     /* tagged stage log lines ("verbose" without hooks) */
    NVX_MSG_TEXT = 2,    /* banner and tables printed whole ("verbose" without hooks) */
    NVX_MSG_NOTICE = 3,  /* "[output]" notices of written files */
    NVX_MSG_WARNING = 4  /* warnings and long-running notices */
};

/* One message: level, subsystem tag ("weak", "bg", "nucl", "output", "mc", ...) and the text
 * without trailing newline. Called from whichever thread runs the stage; must be thread-safe. */
typedef void (*nvx_message_fn)(int level, const char* tag, const char* text, void* user);

/* Progress of a stage: `done` of `total` units (total 0: a mark with no measure). Stage names:
 * "electron", "qed", "weak", "thermal", "HT", "MT", "LT", "decay", "mc". Thread-safe. */
typedef void (*nvx_progress_fn)(const char* stage, double done, double total, void* user);

/* A per-call cancellation request: set `flag` (atomically) from any thread; long stages poll it and
 * return NVX_CANCELLED. One token per call, so concurrent calls cancel independently. */
typedef struct NVXCancelToken {
    volatile int32_t flag;
} NVXCancelToken;

NVX_API void nvx_cancel_request(NVXCancelToken* token);
NVX_API void nvx_cancel_reset(NVXCancelToken* token);
NVX_API int nvx_cancel_requested(const NVXCancelToken* token);

/* Borrowed by a parameter record (its `hooks` field); every member may be NULL. */
typedef struct NVXRunHooks {
    nvx_message_fn message;
    nvx_progress_fn progress;
    void* user;
    NVXCancelToken* cancel;
    int min_level; /* messages below this level are not formatted or delivered */
} NVXRunHooks;

NVX_END_DECLS

#endif
