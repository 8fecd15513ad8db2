// CPython extension module _nuvex_c: turns interpreter objects into solver records, runs one
// computation (run_bbn) or the Monte Carlo estimate on a thread of its own (run_mc), and turns the
// results back into dictionaries. Holds no state between calls; releases everything on every path.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "call_runner.hpp"
#include "convert.hpp"
#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/mc.h"
#include "nuvex/results.h"
#include "nuvex/run.h"

namespace {

using namespace nvx::py;

// Owners of one call's records, released on every path.
struct CustomNetwork {
    NVXCustomNetwork net{};
    ~CustomNetwork() { free_custom_network(&net); }
};
struct Results {
    NVXResults r{};
    ~Results() { didiva_results_free(&r); }
};
struct MCResult {
    NVXMCResult r{};
    ~MCResult() { nvx_mc_result_free(&r); }
};

// ---- run_bbn ---------------------------------------------------------------

PyObject* run_bbn(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"params",        "data_dir",   "custom_network", "show_progress", "extra_rho_T",
                                   "extra_rho_val", "on_message", "on_progress",    "message_level", nullptr};
    PyObject *params, *custom = nullptr, *rhoT = nullptr, *rhoV = nullptr, *on_message = nullptr,
                      *on_progress = nullptr;
    const char* data_dir;
    int show_progress = 1, message_level = NVX_MSG_DEBUG;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|OiOO$OOi", const_cast<char**>(kwlist), &params, &data_dir,
                                     &custom, &show_progress, &rhoT, &rhoV, &on_message, &on_progress,
                                     &message_level))
        return nullptr;
    if (!PyDict_Check(params)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict");
        return nullptr;
    }
    if (check_callable(on_message, "on_message") || check_callable(on_progress, "on_progress")) return nullptr;
    CustomNetwork network;
    if (dict_to_custom_network(custom, &network.net)) return nullptr;
    Record rec;
    if (make_record(params, data_dir, rhoT, rhoV, rec)) return nullptr;
    rec.config.show_progress = show_progress;
    nvx::py::CallRunner runner(on_message, on_progress, message_level);
    rec.config.hooks = runner.hooks();
    Results results;
    char* err = nullptr;
    const int rc = runner.run([&] { return didiva_run(&rec.config, &network.net, &results.r, &err); });
    return run_outcome(rc, err, results.r, "didiva_run failed: ");
}

// ---- run_mc ----------------------------------------------------------------

PyObject* run_mc(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"params",      "data_dir",   "num_mc",      "quantities",    "seed",
                                   "n_jobs",      "custom_network", "prev_centrals", "prev_values", "progress",
                                   "on_message",  "on_progress", "message_level", nullptr};
    PyObject *params, *quantities, *custom = nullptr, *prevC = nullptr, *prevV = nullptr, *on_message = nullptr,
                                   *on_progress = nullptr;
    const char* data_dir;
    int num_mc, seed = 0, n_jobs = -1, progress = 1, message_level = NVX_MSG_DEBUG;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsiO|iiOOOi$OOi", const_cast<char**>(kwlist), &params,
                                     &data_dir, &num_mc, &quantities, &seed, &n_jobs, &custom, &prevC, &prevV,
                                     &progress, &on_message, &on_progress, &message_level))
        return nullptr;
    if (!PyDict_Check(params)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict");
        return nullptr;
    }
    if (check_callable(on_message, "on_message") || check_callable(on_progress, "on_progress")) return nullptr;
    McInputs in;
    if (dict_to_custom_network(custom, &in.network)) return nullptr;
    if (collect_quantities(quantities, in) || collect_previous(prevC, prevV, in)) return nullptr;
    Record rec;
    // a data directory without its nuclide table fails as the Monte Carlo driver's central run did
    if (make_record(params, data_dir, nullptr, nullptr, rec, "nvx_mc_uncertainty failed: ")) return nullptr;
    NVXMCOptions o;
    nvx_mc_default_options(&o);
    o.num_mc = num_mc;
    o.quantities = in.quantities.data();
    o.n_quantities = in.quantities.size();
    o.seed = static_cast<uint64_t>(static_cast<int64_t>(seed));
    o.n_jobs = n_jobs;
    o.prev_centrals = in.prev_centrals;
    o.prev_values = in.prev_values.empty() ? nullptr : in.prev_values.data();
    o.n_prev = in.n_prev;
    o.progress = progress;
    nvx::py::CallRunner runner(on_message, on_progress, message_level);
    rec.config.hooks = runner.hooks();
    MCResult result;
    char* err = nullptr;
    const int status = runner.run([&] { return nvx_mc_run(&rec.config, &in.network, &o, &result.r, &err); });
    return mc_outcome(status, err, result.r, num_mc, "nvx_mc_uncertainty failed: ");
}

PyDoc_STRVAR(run_bbn_doc,
             "run_bbn(params: dict, data_dir: str, custom_network: dict|None = None) -> dict\n\n"
             "Run one nucleosynthesis computation and return the result dictionary (abundance ratios,\n"
             "Neff, ... and the nuclide sub-dictionary 'Y_final').\n"
             "custom_network has the shape {'removed': [...], 'replaced': {...}, 'added': {...}}, the\n"
             "values of 'replaced'/'added' being rate-table texts (T9, rate, uncertainty factor).\n"
             "extra_rho_T and extra_rho_val, given together, tabulate an extra energy density (photon\n"
             "temperature in MeV, density in MeV^4) that is splined and added to the Friedmann equation.\n"
             "Keyword-only: on_message(level, tag, text) receives every message of the run (levels 0 debug,\n"
             "1 log line, 2 text block, 3 output notice, 4 warning; none below message_level) and the\n"
             "library then writes nothing to stdout/stderr itself; on_progress(stage, done, total) receives\n"
             "progress. The computation runs with the GIL released; Ctrl-C cancels it.");

PyDoc_STRVAR(run_mc_doc,
             "run_mc(params, data_dir, num_mc, quantities, seed=0, n_jobs=-1, custom_network=None,\n"
             "       prev_centrals=None, prev_values=None, progress=1) -> dict\n\n"
             "Draw num_mc threaded samples of every quantity in `quantities` (a result-dictionary key\n"
             "or a nuclide name), perturbing nuclear rates and the neutron lifetime. Returns\n"
             "{name: {central, mean, std, values}} with `values` of length num_mc. The random numbers come\n"
             "from a xoshiro256** generator per thread, so samples agree with other implementations\n"
             "statistically, not bit for bit. prev_centrals (one per quantity) and prev_values (one\n"
             "equal-length sample sequence per quantity) reuse an earlier result instead of recomputing\n"
             "it; pass them only when they were made with the same seed, parameters, custom network and\n"
             "quantities. on_message, on_progress and message_level as in run_bbn.");

PyMethodDef kMethods[] = {
    {"run_bbn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run_bbn)),
     METH_VARARGS | METH_KEYWORDS, run_bbn_doc},
    {"run_mc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(run_mc)),
     METH_VARARGS | METH_KEYWORDS, run_mc_doc},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_nuvex_c", "Bridge between Python and the NUVEX BBN solver.",
                       0, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__nuvex_c(void) {
    PyObject* m = PyModule_Create2(&kModule, 1013);
    if (m && (nvx::py::add_session_type(m) != 0 || nvx::py::add_vocabulary_functions(m) != 0)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
