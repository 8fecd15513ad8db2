// Conversions between interpreter objects and solver records shared by the module's functions
// and the Session type. Every function returning int gives 0, or 1 with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "nuvex/config.h"
#include "nuvex/custom_network.h"
#include "nuvex/mc.h"
#include "nuvex/results.h"

namespace nvx::py {

// A Python value as a tagged parameter; a str payload is a malloc'd copy also stored in *copy.
int py_to_nvxparam(PyObject* value, NVXParam* param, char** copy);
// A new malloc'd array (at least one element) of a sequence's items as floats; nullptr on failure.
double* seq_to_doubles(PyObject* seq, Py_ssize_t* count);
// {'removed': [...], 'replaced': {...}, 'added': {...}} or None into a custom network.
int dict_to_custom_network(PyObject* obj, NVXCustomNetwork* net);
PyObject* doubles_to_list(const double* arr, size_t count);
int set_item_steal(PyObject* d, const char* key, PyObject* value);
PyObject* results_to_dict(const NVXResults* r);
PyObject* mc_result_to_dict(const NVXMCResult* r, int num_mc);
// None, absent or callable; else TypeError naming the argument.
int check_callable(PyObject* f, const char* name);
// Sets `type` with the message (or fallback) after an optional prefix, releases msg; nullptr.
PyObject* raise_with(PyObject* type, char* msg, const char* fallback, const char* prefix = nullptr);
int apply_params(NVXConfig* config, PyObject* params);
int hand_over_extra_rho(NVXConfig* config, PyObject* T, PyObject* val);

// Walks the parameter dictionary in order: keys must be str, values become tagged parameters.
// `use` receives the key, the value and the str copy (which it owns); 0 or 1 with an exception set.
template <typename Use>
int for_each_param(PyObject* params, Use use) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(params, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "params keys must be str");
            return 1;
        }
        const char* k = PyUnicode_AsUTF8(key);
        if (!k) return 1;
        NVXParam p;
        char* copy = nullptr;
        if (py_to_nvxparam(value, &p, &copy)) {
            // an int beyond 64 bits is a value out of range of its key, not an arithmetic error
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s=%R is out of range: must fit in a 64-bit integer", k, value);
            }
            return 1;
        }
        if (use(k, p, copy)) return 1;
    }
    return 0;
}

// A parameter record owned by the call that builds it.
struct Record {
    NVXConfig config{};
    bool ready = false;
    Record() = default;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record() {
        if (ready) nvx_config_free(&config);
    }
};

// The record of run_bbn and Session: defaults of data_dir, the dictionary in order, validation,
// the extra energy density table. Failures raise as run_bbn documents them; a data directory that
// cannot be initialised raises RuntimeError with `init_prefix` before its message.
int make_record(PyObject* params, const char* data_dir, PyObject* extra_rho_T, PyObject* extra_rho_val,
                Record& rec, const char* init_prefix = "nvx_config_init_defaults failed: ");

// A dictionary as (key, value) pairs with private copies of keys and strings.
struct KeyParams {
    std::deque<std::string> keys;  // stable addresses
    std::vector<NVXKeyParam> params;
    std::vector<char*> copies;
    KeyParams() = default;
    KeyParams(const KeyParams&) = delete;
    KeyParams& operator=(const KeyParams&) = delete;
    ~KeyParams() {
        for (char* c : copies) std::free(c);
    }
};
int collect_key_params(PyObject* params, KeyParams& out);

struct McInputs {
    // private copies: the worker thread reads them while other interpreter threads may run
    std::vector<std::string> quantity_store;
    std::vector<const char*> quantities;
    std::vector<double*> prev_values;
    double* prev_centrals = nullptr;
    size_t n_prev = 0;
    NVXCustomNetwork network{};
    ~McInputs() {
        for (double* p : prev_values) std::free(p);
        std::free(prev_centrals);
        free_custom_network(&network);
    }
};

int collect_quantities(PyObject* q, McInputs& in);
// The dictionary of a finished Monte Carlo call, or its exception: KeyboardInterrupt when cancelled,
// ValueError for refused arguments (unknown quantity, no samples), RuntimeError with `prefix` for a
// failure. Releases err.
PyObject* mc_outcome(int status, char* err, const NVXMCResult& r, int num_mc, const char* prefix);
// The same for a run: the result dictionary, or KeyboardInterrupt, ValueError, RuntimeError.
PyObject* run_outcome(int status, char* err, const NVXResults& r, const char* prefix);
int collect_previous(PyObject* centrals, PyObject* values, McInputs& in);

// Registers the Session type in the module; 0, or -1 with an exception set.
int add_session_type(PyObject* module);
// quantities() and suggest(): the vocabulary shared with the CLI.
int add_vocabulary_functions(PyObject* module);

}  // namespace nvx::py
