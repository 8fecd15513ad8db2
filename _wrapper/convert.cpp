// Conversions between interpreter objects and solver records shared by the module's functions
// and the Session type: tagged parameters, custom networks, result and Monte Carlo dictionaries.
#include "convert.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace nvx::py {

// ---- conversions -----------------------------------------------------------

// Converts a Python value into a tagged parameter; a str payload is a malloc'd copy also stored in
// *copy for the caller to release. 0 on success, 1 with an exception set.
int py_to_nvxparam(PyObject* value, NVXParam* param, char** copy) {
    *copy = nullptr;
    param->payload.i = 0;
    if (value == Py_None) {
        param->kind = NVX_PARAM_NONE;
    } else if (Py_IS_TYPE(value, &PyBool_Type)) {
        param->kind = NVX_PARAM_BOOL;
        param->payload.i = value == Py_True ? 1 : 0;
    } else if (PyLong_Check(value)) {
        long long v = PyLong_AsLongLong(value);
        if (v == -1 && PyErr_Occurred()) return 1;
        param->kind = NVX_PARAM_INT;
        param->payload.i = v;
    } else if (PyFloat_Check(value)) {
        param->kind = NVX_PARAM_FLOAT;
        param->payload.d = PyFloat_AsDouble(value);
    } else if (PyUnicode_Check(value)) {
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &n);
        if (!utf8) return 1;
        if (std::strlen(utf8) != static_cast<size_t>(n)) {
            PyErr_SetString(PyExc_ValueError, "parameter string contains an embedded null character");
            return 1;
        }
        *copy = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (!*copy) {
            PyErr_NoMemory();
            return 1;
        }
        std::memcpy(*copy, utf8, static_cast<size_t>(n) + 1);
        param->kind = NVX_PARAM_STRING;
        param->payload.s = *copy;
    } else {
        PyErr_Format(PyExc_TypeError, "unsupported parameter value type %s (expected bool/int/float/str/None)",
                     Py_TYPE(value)->tp_name);
        return 1;
    }
    return 0;
}

// A new malloc'd array (at least one element) of the sequence's items as floats; nullptr with an
// exception set on failure.
double* seq_to_doubles(PyObject* seq, Py_ssize_t* count) {
    if (!PySequence_Check(seq) || PyUnicode_Check(seq) || PyBytes_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "expected a sequence of float");
        return nullptr;
    }
    PyObject* fast = PySequence_Fast(seq, "expected a sequence of float");
    if (!fast) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    double* out = static_cast<double*>(std::malloc(static_cast<size_t>(n > 0 ? n : 1) * sizeof(double)));
    if (!out) {
        Py_DECREF(fast);
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
        if (v == -1.0 && PyErr_Occurred()) {
            std::free(out);
            Py_DECREF(fast);
            return nullptr;
        }
        out[i] = v;
    }
    Py_DECREF(fast);
    *count = n;
    return out;
}

int add_entries_from_dict(PyObject* obj, const char* which, NVXCustomNetwork* net) {
    PyObject* d = PyDict_GetItemString(obj, which);  // borrowed
    if (!d || d == Py_None) return 0;
    if (!PyDict_Check(d)) {
        PyErr_Format(PyExc_TypeError, "custom_network['%s'] must be a dict", which);
        return 1;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "custom_network['%s'] must map str -> str", which);
            return 1;
        }
        const char* name = PyUnicode_AsUTF8(key);
        const char* text = name ? PyUnicode_AsUTF8(value) : nullptr;
        if (!text) return 1;
        char* err = nullptr;
        int rc = nvx_custom_network_parse_entry(net, name, text, &err);
        if (rc == 2) {
            std::free(err);
            PyErr_NoMemory();
            return 1;
        }
        if (rc) {
            PyErr_SetString(PyExc_ValueError, err ? err : "custom_network rate table refused");
            std::free(err);
            return 1;
        }
    }
    return 0;
}

// Fills the custom network from {'removed': [...], 'replaced': {...}, 'added': {...}}.
int dict_to_custom_network(PyObject* obj, NVXCustomNetwork* net) {
    std::memset(net, 0, sizeof *net);
    if (!obj || obj == Py_None) return 0;
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "custom_network must be a dict or None");
        return 1;
    }
    // a misspelt key ("remove") would otherwise leave the network silently unchanged
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &k, &v)) {
        const char* key = PyUnicode_Check(k) ? PyUnicode_AsUTF8(k) : nullptr;
        if (!key || (std::strcmp(key, "removed") && std::strcmp(key, "replaced") && std::strcmp(key, "added"))) {
            PyObject* r = PyObject_Repr(k);
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "custom_network: unknown key %s (expected 'removed', 'replaced' or 'added')",
                         r && PyUnicode_Check(r) ? PyUnicode_AsUTF8(r) : "?");
            Py_XDECREF(r);
            return 1;
        }
    }
    PyObject* removed = PyDict_GetItemString(obj, "removed");  // borrowed
    if (removed && removed != Py_None) {
        const char* msg = "custom_network['removed'] must be a sequence of str";
        if (!PySequence_Check(removed) || PyUnicode_Check(removed)) {
            PyErr_SetString(PyExc_TypeError, msg);
            return 1;
        }
        PyObject* fast = PySequence_Fast(removed, msg);
        if (!fast) return 1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
            const char* name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
            if (!name) {
                Py_DECREF(fast);
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg);
                free_custom_network(net);
                return 1;
            }
            if (std::strlen(name) >= NVX_RXN_NAME_LEN) {
                Py_DECREF(fast);
                free_custom_network(net);
                PyErr_Format(PyExc_ValueError, "custom_network['removed']: reaction name '%s' is longer than %d "
                             "characters", name, NVX_RXN_NAME_LEN - 1);
                return 1;
            }
            if (nvx_custom_network_add_removed(net, name)) {
                Py_DECREF(fast);
                free_custom_network(net);
                PyErr_NoMemory();
                return 1;
            }
        }
        Py_DECREF(fast);
    }
    if (add_entries_from_dict(obj, "replaced", net) || add_entries_from_dict(obj, "added", net)) {
        free_custom_network(net);
        return 1;
    }
    return 0;
}

PyObject* doubles_to_list(const double* arr, size_t count) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        PyObject* f = PyFloat_FromDouble(arr[i]);
        if (!f) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return list;
}

// Sets d[key] = value and drops the reference to value; 0 or 1.
int set_item_steal(PyObject* d, const char* key, PyObject* value) {
    if (!value) return 1;
    int rc = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return rc != 0;
}

// One column of a row-major n_points x n_cols matrix as a list.
PyObject* column_to_list(const double* matrix, size_t n_points, size_t n_cols, size_t col) {
    std::vector<double> column;
    try {
        column.resize(n_points);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (size_t i = 0; i < n_points; ++i) column[i] = matrix[i * n_cols + col];
    return doubles_to_list(column.data(), n_points);
}

PyObject* evolution_to_dict(const NVXResults* r) {
    PyObject* ev = PyDict_New();
    if (!ev) return nullptr;
    const struct {
        const char* key;
        const double* arr;
    } cols[] = {{"t", r->t},         {"a", r->a},         {"T_gamma", r->T_gamma},
                {"T_nue", r->T_nue}, {"T_numu", r->T_numu}, {"T_nutau", r->T_nutau}};
    for (const auto& c : cols)
        if (set_item_steal(ev, c.key, doubles_to_list(c.arr, r->n_points))) goto fail;
    {
        PyObject* Y = PyDict_New();
        if (set_item_steal(ev, "Y", Y)) goto fail;
        for (size_t j = 0; j < r->n_nuclides; ++j)
            if (set_item_steal(Y, r->nuclide_names[j], column_to_list(r->Y, r->n_points, r->n_nuclides, j)))
                goto fail;
    }
    if (r->n_rate_columns) {
        PyObject* rates = PyDict_New();
        if (set_item_steal(ev, "rates", rates)) goto fail;
        for (size_t j = 0; j < r->n_rate_columns; ++j)
            if (set_item_steal(rates, r->rate_names[j],
                               column_to_list(r->rate_values, r->n_points, r->n_rate_columns, j)))
                goto fail;
    }
    return ev;
fail:
    Py_DECREF(ev);
    return nullptr;
}

PyObject* results_to_dict(const NVXResults* r) {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    const struct {
        const char* key;
        int present;
        double value;
    } q[] = {{"YPCMB", 1, r->YPCMB},
             {"YPBBN", 1, r->YPBBN},
             {"DoH", 1, r->DoH},
             {"He3oH", 1, r->He3oH},
             {"He3oHe4", 1, r->He3oHe4},
             {"Li7oH", 1, r->Li7oH},
             {"Li6oLi7", r->has_Li6oLi7, r->Li6oLi7},
             {"YCNO", r->has_YCNO, r->YCNO},
             {"Neff", r->has_Neff, r->Neff},
             {"Omeganurel", r->has_Omeganurel, r->Omeganurel},
             {"OneOverOmeganunr", r->has_OneOverOmeganunr, r->OneOverOmeganunr}};
    for (const auto& e : q)
        if (e.present && set_item_steal(d, e.key, PyFloat_FromDouble(e.value))) goto fail;
    {
        PyObject* Yf = PyDict_New();
        if (set_item_steal(d, "Y_final", Yf)) goto fail;
        for (size_t i = 0; i < r->n_nuclides; ++i)
            if (set_item_steal(Yf, r->nuclide_names[i], PyFloat_FromDouble(r->Y_final[i]))) goto fail;
    }
    if (r->has_evolution && set_item_steal(d, "evolution", evolution_to_dict(r))) goto fail;
    return d;
fail:
    Py_DECREF(d);
    return nullptr;
}


// None, absent or callable; else TypeError naming the argument.
int check_callable(PyObject* f, const char* name) {
    if (!f || f == Py_None || PyCallable_Check(f)) return 0;
    PyErr_Format(PyExc_TypeError, "%s must be callable or None", name);
    return 1;
}

PyObject* raise_with(PyObject* type, char* msg, const char* fallback, const char* prefix) {
    std::string text = msg ? msg : fallback;
    if (prefix) text = std::string(prefix) + text;
    std::free(msg);
    PyErr_SetString(type, text.c_str());
    return nullptr;
}

int apply_params(NVXConfig* config, PyObject* params) {
    return for_each_param(params, [config](const char* k, NVXParam p, char* copy) {
        char* err = nullptr;
        int rc = nvx_config_set_by_name(config, k, p.kind, p.payload, &err);
        std::free(copy);
        if (rc) raise_with(PyExc_ValueError, err, "nvx_config_set_by_name failed");
        return rc;
    });
}

int hand_over_extra_rho(NVXConfig* config, PyObject* T, PyObject* val) {
    bool hasT = T && T != Py_None, hasV = val && val != Py_None;
    if (!hasT && !hasV) return 0;
    if (hasT != hasV) {
        PyErr_SetString(PyExc_ValueError, "extra_rho_T and extra_rho_val must be provided together");
        return 1;
    }
    Py_ssize_t nT = 0, nV = 0;
    double* aT = seq_to_doubles(T, &nT);
    if (!aT) return 1;
    double* aV = seq_to_doubles(val, &nV);
    if (!aV) {
        std::free(aT);
        return 1;
    }
    if (nT != nV || nT < 4) {
        std::free(aT);
        std::free(aV);
        PyErr_SetString(PyExc_ValueError, "extra_rho_T and extra_rho_val must have equal length >= 4");
        return 1;
    }
    config->extra_rho_T = aT;
    config->extra_rho_val = aV;
    config->extra_rho_n = static_cast<size_t>(nT);
    return 0;
}


int collect_quantities(PyObject* q, McInputs& in) {
    const char* msg = "quantities must be a sequence of str";
    if (!PySequence_Check(q) || PyUnicode_Check(q)) {
        PyErr_SetString(PyExc_TypeError, msg);
        return 1;
    }
    Py_ssize_t n = PySequence_Size(q);
    if (n < 0) return 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(q, i);
        if (!item) return 1;
        const char* name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
        if (!name) {
            Py_DECREF(item);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg);
            return 1;
        }
        in.quantity_store.emplace_back(name);
        Py_DECREF(item);
    }
    for (const std::string& s : in.quantity_store) in.quantities.push_back(s.c_str());
    return 0;
}

int collect_previous(PyObject* centrals, PyObject* values, McInputs& in) {
    if (!centrals || centrals == Py_None) return 0;
    Py_ssize_t n = 0;
    in.prev_centrals = seq_to_doubles(centrals, &n);
    if (!in.prev_centrals) return 1;
    if (static_cast<size_t>(n) != in.quantities.size()) {
        PyErr_SetString(PyExc_ValueError, "prev_centrals length must match quantities");
        return 1;
    }
    if (!values || values == Py_None) return 0;
    if (!PySequence_Check(values) || PyUnicode_Check(values)) {
        PyErr_SetString(PyExc_TypeError, "prev_values must be a sequence");
        return 1;
    }
    Py_ssize_t nv = PySequence_Size(values);
    if (nv < 0) return 1;
    if (static_cast<size_t>(nv) != in.quantities.size()) {
        PyErr_SetString(PyExc_ValueError, "prev_values length must match quantities");
        return 1;
    }
    Py_ssize_t common = -1;
    for (Py_ssize_t i = 0; i < nv; ++i) {
        PyObject* item = PySequence_GetItem(values, i);
        if (!item) return 1;
        Py_ssize_t len = 0;
        double* arr = seq_to_doubles(item, &len);
        Py_DECREF(item);
        if (!arr) return 1;
        in.prev_values.push_back(arr);
        if (common >= 0 && len != common) {
            PyErr_SetString(PyExc_ValueError, "prev_values entries must all have the same length");
            return 1;
        }
        common = len;
    }
    in.n_prev = common > 0 ? static_cast<size_t>(common) : 0;
    return 0;
}

PyObject* mc_result_to_dict(const NVXMCResult* r, int num_mc) {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    for (size_t i = 0; i < r->count; ++i) {
        const NVXMCEntry& e = r->entries[i];
        PyObject* q = PyDict_New();
        if (set_item_steal(d, e.name, q) || set_item_steal(q, "central", PyFloat_FromDouble(e.central)) ||
            set_item_steal(q, "mean", PyFloat_FromDouble(e.mean)) ||
            set_item_steal(q, "std", PyFloat_FromDouble(e.std)) ||
            set_item_steal(q, "values", doubles_to_list(e.values, static_cast<size_t>(num_mc > 0 ? num_mc : 0)))) {
            Py_DECREF(d);
            return nullptr;
        }
    }
    return d;
}


namespace {

// Common tail of run and Monte Carlo calls; nullptr with an exception unless status is NVX_OK.
bool status_ok(int status, char*& err, const char* prefix) {
    if (status == NVX_OK) {
        std::free(err);
        err = nullptr;
        return true;
    }
    if (status < 0) {  // the call runner's exception (a raising callback, Ctrl-C) stands
        std::free(err);
    } else if (status == NVX_CANCELLED) {
        std::free(err);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "run cancelled");
    } else if (status == NVX_INVALID) {
        raise_with(PyExc_ValueError, err, "invalid argument");
    } else {
        raise_with(PyExc_RuntimeError, err, "(no message)", prefix);
    }
    err = nullptr;
    return false;
}

}  // namespace

PyObject* mc_outcome(int status, char* err, const NVXMCResult& r, int num_mc, const char* prefix) {
    return status_ok(status, err, prefix) ? mc_result_to_dict(&r, num_mc) : nullptr;
}

PyObject* run_outcome(int status, char* err, const NVXResults& r, const char* prefix) {
    return status_ok(status, err, prefix) ? results_to_dict(&r) : nullptr;
}

int make_record(PyObject* params, const char* data_dir, PyObject* extra_rho_T, PyObject* extra_rho_val,
                Record& rec, const char* init_prefix) {
    char* err = nullptr;
    if (nvx_config_init_defaults(&rec.config, data_dir, &err)) {
        raise_with(PyExc_RuntimeError, err, "(no message)", init_prefix);
        return 1;
    }
    rec.ready = true;
    if (apply_params(&rec.config, params)) return 1;
    if (nvx_config_validate(&rec.config, &err)) {
        raise_with(PyExc_ValueError, err, "nvx_config_validate failed");
        return 1;
    }
    return hand_over_extra_rho(&rec.config, extra_rho_T, extra_rho_val);
}

int collect_key_params(PyObject* params, KeyParams& out) {
    int rc = for_each_param(params, [&out](const char* k, NVXParam p, char* copy) {
        if (copy) out.copies.push_back(copy);
        out.keys.emplace_back(k);
        out.params.push_back({nullptr, p});
        return 0;
    });
    for (size_t i = 0; i < out.params.size(); ++i) out.params[i].key = out.keys[i].c_str();
    return rc;
}

}  // namespace nvx::py
