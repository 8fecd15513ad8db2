// The Session type of _nuvex_c: a validated parameter record (with custom network and extra energy
// density) whose stages are kept between runs; run() and mc() go through the call runner.
#include <cstdint>
#include <cstdlib>

#include "call_runner.hpp"
#include "convert.hpp"
#include "nuvex/mc.h"
#include "nuvex/session.h"

namespace nvx::py {
namespace {

struct SessionObject {
    PyObject_HEAD
    NVXSession* session;
    int running;  // calls in progress (changed with the GIL held): close() waits for none
    NVXCancelToken* active;  // the token of the call in progress (set and cleared with the GIL held)
};

PyObject* closed_error() {
    PyErr_SetString(PyExc_ValueError, "operation on a closed Session");
    return nullptr;
}

// A call while another thread's call has not returned: refused even when the library has finished
// that call's work and only its callbacks are still being delivered.
PyObject* busy_error(const char* what) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s failed: the session is already running on another thread (a session serves one thread at a "
                 "time; create one session per thread)",
                 what);
    return nullptr;
}

// Counts a call in progress for the lifetime of the object and lends cancel() the call's token (the
// GIL is held at both ends).
struct Running {
    SessionObject* self;
    Running(SessionObject* s, CallRunner& runner) : self(s) {
        ++self->running;
        self->active = runner.token();
    }
    ~Running() {
        --self->running;
        self->active = nullptr;
    }
};

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"params", "data_dir", "custom_network", "extra_rho_T", "extra_rho_val", nullptr};
    PyObject *params, *custom = nullptr, *rhoT = nullptr, *rhoV = nullptr;
    const char* data_dir;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|OOO", const_cast<char**>(kwlist), &params, &data_dir, &custom,
                                     &rhoT, &rhoV))
        return nullptr;
    if (!PyDict_Check(params)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict");
        return nullptr;
    }
    NVXCustomNetwork net{};
    if (dict_to_custom_network(custom, &net)) return nullptr;
    Record rec;
    if (make_record(params, data_dir, rhoT, rhoV, rec)) {
        free_custom_network(&net);
        return nullptr;
    }
    char* err = nullptr;
    NVXSession* s = nvx_session_create_custom(&rec.config, &net, &err);
    free_custom_network(&net);
    if (!s) return raise_with(PyExc_RuntimeError, err, "(no message)", "nvx_session_create failed: ");
    auto* self = reinterpret_cast<SessionObject*>(type->tp_alloc(type, 0));
    if (!self) {
        nvx_session_free(s);
        return nullptr;
    }
    self->session = s;
    self->running = 0;
    self->active = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

void session_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SessionObject*>(obj);
    nvx_session_free(self->session);  // a running call holds a reference: none runs here
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* session_run(PyObject* obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<SessionObject*>(obj);
    static const char* kwlist[] = {"changes", "on_message", "on_progress", "message_level", nullptr};
    PyObject *changes = nullptr, *on_message = nullptr, *on_progress = nullptr;
    int message_level = NVX_MSG_DEBUG;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOi", const_cast<char**>(kwlist), &changes, &on_message,
                                     &on_progress, &message_level))
        return nullptr;
    if (!self->session) return closed_error();
    if (changes && changes != Py_None && !PyDict_Check(changes)) {
        PyErr_SetString(PyExc_TypeError, "changes must be a dict or None");
        return nullptr;
    }
    if (check_callable(on_message, "on_message") || check_callable(on_progress, "on_progress")) return nullptr;
    KeyParams kp;
    if (changes && changes != Py_None && collect_key_params(changes, kp)) return nullptr;
    if (self->running) return busy_error("Session.run");
    CallRunner runner(on_message, on_progress, message_level);
    Running running(self, runner);
    NVXResults results{};
    char* err = nullptr;
    NVXSession* s = self->session;
    const int rc = runner.run(
        [&] { return nvx_session_run_hooks(s, kp.params.data(), kp.params.size(), runner.hooks(), &results, &err); });
    PyObject* out = run_outcome(rc, err, results, "Session.run failed: ");
    didiva_results_free(&results);
    return out;
}

PyObject* session_mc(PyObject* obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<SessionObject*>(obj);
    static const char* kwlist[] = {"num_mc",     "quantities",  "seed",          "n_jobs",   "first",
                                   "on_message", "on_progress", "message_level", "progress", nullptr};
    PyObject *quantities, *on_message = nullptr, *on_progress = nullptr;
    int num_mc, n_jobs = -1, message_level = NVX_MSG_DEBUG, progress = 0;
    long long seed = 0, first = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|LiL$OOii", const_cast<char**>(kwlist), &num_mc, &quantities,
                                     &seed, &n_jobs, &first, &on_message, &on_progress, &message_level, &progress))
        return nullptr;
    if (!self->session) return closed_error();
    if (check_callable(on_message, "on_message") || check_callable(on_progress, "on_progress")) return nullptr;
    McInputs in;
    if (collect_quantities(quantities, in)) return nullptr;
    NVXMCOptions o;
    nvx_mc_default_options(&o);
    o.num_mc = num_mc;
    o.quantities = in.quantities.data();
    o.n_quantities = in.quantities.size();
    o.seed = static_cast<uint64_t>(seed);
    o.n_jobs = n_jobs;
    o.first = first;
    o.progress = progress;
    if (self->running) return busy_error("Session.mc");
    CallRunner runner(on_message, on_progress, message_level);
    Running running(self, runner);
    NVXMCResult result{};
    char* err = nullptr;
    NVXSession* s = self->session;
    const int rc = runner.run([&] { return nvx_session_mc(s, &o, runner.hooks(), &result, &err); });
    PyObject* out = mc_outcome(rc, err, result, num_mc, "Session.mc failed: ");
    nvx_mc_result_free(&result);
    return out;
}

PyObject* session_close(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<SessionObject*>(obj);
    if (self->running) {
        PyErr_SetString(PyExc_RuntimeError, "cannot close a Session while another thread runs it");
        return nullptr;
    }
    nvx_session_free(self->session);
    self->session = nullptr;
    Py_RETURN_NONE;
}

// Called from another thread than the one running the session (which waits with the GIL released):
// the running call stops at its next check and raises KeyboardInterrupt in its own thread.
PyObject* session_cancel(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<SessionObject*>(obj);
    if (self->active) nvx_cancel_request(self->active);
    Py_RETURN_NONE;
}

PyObject* session_enter(PyObject* obj, PyObject*) {
    if (!reinterpret_cast<SessionObject*>(obj)->session) return closed_error();
    Py_INCREF(obj);
    return obj;
}

PyObject* session_exit(PyObject* obj, PyObject*) { return session_close(obj, nullptr); }

PyObject* session_closed(PyObject* obj, void*) {
    return PyBool_FromLong(reinterpret_cast<SessionObject*>(obj)->session == nullptr);
}

PyDoc_STRVAR(session_doc,
             "Session(params: dict, data_dir: str, custom_network=None, extra_rho_T=None, extra_rho_val=None)\n\n"
             "A validated parameter record whose expensive stages (data files, plasma and QED tables, the\n"
             "neutrino history, weak-rate tables, the networks with their rate tables, the background) are\n"
             "built by the first run and kept for later runs that change only parameters they do not read.\n"
             "Creating one is cheap and raises ValueError/TypeError like run_bbn. Results are identical to\n"
             "run_bbn with the same parameters. A session serves one thread at a time (a concurrent call\n"
             "raises RuntimeError); use one per thread. Usable as a context manager.");

PyDoc_STRVAR(run_doc,
             "run(changes: dict | None = None, *, on_message=None, on_progress=None, message_level=0) -> dict\n\n"
             "One run of the session's parameters with `changes` applied on a copy (the session keeps its\n"
             "own); returns the dictionary of run_bbn. Rejected changes raise ValueError/TypeError, failures\n"
             "RuntimeError, Ctrl-C cancels (KeyboardInterrupt).");

PyDoc_STRVAR(mc_doc,
             "mc(num_mc, quantities, seed=0, n_jobs=-1, first=0, *, on_message=None, on_progress=None,\n"
             "   message_level=0, progress=0) -> dict\n\n"
             "Monte Carlo samples first .. first + num_mc - 1 of the session's parameters, as run_mc's\n"
             "dictionary ({name: {central, mean, std, values}}); the central value is this session's run.\n"
             "Sample k depends only on seed and k, so blocks computed separately concatenate bit for bit.\n"
             "n_jobs <= 0 uses every core (at most num_mc workers).");

PyMethodDef kSessionMethods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(session_run)),
     METH_VARARGS | METH_KEYWORDS, run_doc},
    {"mc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(session_mc)),
     METH_VARARGS | METH_KEYWORDS, mc_doc},
    {"close", session_close, METH_NOARGS, "Release the kept stages; later calls raise ValueError."},
    {"cancel", session_cancel, METH_NOARGS,
     "Cancel the call running on another thread, if any: it raises KeyboardInterrupt in that thread.\n"
     "The session stays usable."},
    {"__enter__", session_enter, METH_NOARGS, nullptr},
    {"__exit__", session_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kSessionGetSet[] = {
    {"closed", session_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSessionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_doc, const_cast<char*>(session_doc)},
    {Py_tp_methods, kSessionMethods},
    {Py_tp_getset, kSessionGetSet},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {0, nullptr}};

PyType_Spec kSessionSpec = {"_nuvex_c.Session", sizeof(SessionObject), 0, Py_TPFLAGS_DEFAULT, kSessionSlots};

}  // namespace

int add_session_type(PyObject* module) {
    PyObject* type = PyType_FromSpec(&kSessionSpec);
    if (!type) return -1;
    if (PyModule_AddObject(module, "Session", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace nvx::py
