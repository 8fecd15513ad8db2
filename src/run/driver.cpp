// didiva_run: one complete computation as a session of a single run, so that a one-shot run and a
// session's runs share one path and give the same numbers.
#include "config/err.hpp"
#include "nuvex/run.h"
#include "run/session.hpp"

extern "C" int didiva_run(const NVXConfig* config, const NVXCustomNetwork* custom_network,
                          NVXResults* results, char** err) {
    if (!config || !results) return nvx::fail(err, "didiva_run: no parameter record or result record");
    nvx::session::Session once(false);
    once.init_borrowed(custom_network);
    return once.run_record(config, results, err);
}
