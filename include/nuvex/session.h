/* Solver sessions: a parameter record whose expensive stages (data files, plasma and QED tables, the
 * neutrino history, weak-rate tables, the assembled networks and their rate tables, the background)
 * are built once and kept for later runs that change only parameters those stages do not read.
 * A session's results are bit-identical to a fresh didiva_run with the same parameters. */
#ifndef NUVEX_SESSION_H
#define NUVEX_SESSION_H

#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/hooks.h"
#include "nuvex/results.h"

NVX_BEGIN_DECLS

typedef struct NVXSession NVXSession;

/* Creates a session from a copy of `config` (validated on the copy; its hooks are not kept) and,
 * when not NULL, a copy of `custom_network`. The extra energy density table travels inside the
 * record. Nothing is computed yet: the first run builds the stages. NULL on failure with *err. */
NVX_API NVXSession* nvx_session_create(const NVXConfig* config, char** err);
NVX_API NVXSession* nvx_session_create_custom(const NVXConfig* config,
                                              const NVXCustomNetwork* custom_network, char** err);

/* One run: the overrides are applied in order to a copy of the session's record, which is then
 * validated; stages whose parameters changed are rebuilt, the others reused. `hooks` (may be NULL:
 * standard streams, no cancellation) receive the run's messages and progress and carry its
 * cancellation token. Returns NVX_OK with `results` filled (release with didiva_results_free),
 * NVX_INVALID when an override or the validation refuses a value (*err names the key), NVX_FAIL
 * with *err naming the failing stage, or NVX_CANCELLED. A session serves one thread at a time: a
 * call while another thread runs the same session fails at once (NVX_FAIL) without touching it.
 * Never free a session that another thread is running. */
NVX_API int nvx_session_run(NVXSession* session, const NVXKeyParam* overrides, size_t n_overrides,
                            NVXResults* results, char** err);
NVX_API int nvx_session_run_hooks(NVXSession* session, const NVXKeyParam* overrides, size_t n_overrides,
                                  const NVXRunHooks* hooks, NVXResults* results, char** err);

/* Monte Carlo samples of the session's record (see nvx_mc_run in nuvex/mc.h): the central run and
 * the workers reuse the session's built stages. Same status codes as nvx_mc_run; the session is
 * busy (as in a run) for the whole call. */
struct NVXMCOptions;
struct NVXMCResult;
NVX_API int nvx_session_mc(NVXSession* session, const struct NVXMCOptions* options, const NVXRunHooks* hooks,
                           struct NVXMCResult* result, char** err);

/* The session's own record (read-only; valid until the session is freed). */
NVX_API const NVXConfig* nvx_session_config(const NVXSession* session);

/* Releases the session and everything it kept (NULL is harmless). */
NVX_API void nvx_session_free(NVXSession* session);

NVX_END_DECLS

#endif
