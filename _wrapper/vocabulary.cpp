// The module's vocabulary functions: the result quantities with units and definitions, and the
// "did you mean" of the library, so that the Python package suggests exactly what the CLI does.
#include <vector>

#include "convert.hpp"

namespace {

PyObject* str_or_none(const char* s) {
    if (s) return PyUnicode_FromString(s);
    Py_RETURN_NONE;
}

PyObject* quantities(PyObject*, PyObject*) {
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    for (size_t i = 0; i < nvx_quantity_count(); ++i) {
        const NVXQuantity* q = nvx_quantity_at(i);
        PyObject* d = Py_BuildValue("{s:s,s:N,s:s,s:s}", "name", q->name, "alias", str_or_none(q->alias), "unit",
                                    q->unit, "definition", q->definition);
        if (!d || PyList_Append(out, d) != 0) {
            Py_XDECREF(d);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(d);
    }
    return out;
}

PyObject* suggest(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", "candidates", "n", nullptr};
    const char* name = nullptr;
    PyObject* candidates = nullptr;
    Py_ssize_t n = 3;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO|n", const_cast<char**>(kwlist), &name, &candidates, &n))
        return nullptr;
    PyObject* seq = PySequence_Fast(candidates, "candidates must be a sequence of str");
    if (!seq) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq);
    std::vector<const char*> pool;
    pool.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
        if (!text) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "candidates must be a sequence of str");
            Py_DECREF(seq);
            return nullptr;
        }
        pool.push_back(text);
    }
    std::vector<size_t> best(static_cast<size_t>(n > 0 ? n : 0));
    const size_t found = best.empty() ? 0 : nvx_suggest(name, pool.data(), pool.size(), best.data(), best.size());
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(found));
    for (size_t i = 0; out && i < found; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(best[i]));
        Py_INCREF(item);
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
    }
    Py_DECREF(seq);
    return out;
}

PyMethodDef kVocabulary[] = {
    {"quantities", quantities, METH_NOARGS,
     "quantities() -> list of dict\n\nThe result quantities in the order of the result dictionary: 'name' (the\n"
     "dictionary key), 'alias' (the other accepted name, or None), 'unit' and 'definition'."},
    {"suggest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(suggest)),
     METH_VARARGS | METH_KEYWORDS,
     "suggest(name, candidates, n=3) -> list of str\n\nAt most n candidates closest to a misspelt name, best\n"
     "first (edit distance ignoring case, within a third of the name's length): the 'did you mean' of\n"
     "every NUVEX front end."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace nvx::py {

int add_vocabulary_functions(PyObject* module) { return PyModule_AddFunctions(module, kVocabulary); }

}  // namespace nvx::py
