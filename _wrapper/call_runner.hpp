// The call runner: a C computation on a worker thread while the calling thread waits with the GIL
// released, delivering the run's messages and progress to Python callables and Ctrl-C as a cancel.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "nuvex/hooks.h"

namespace nvx::py {

class CallRunner {
public:
    // on_message(level, tag, text) and on_progress(stage, done, total): callables or None/nullptr
    // (borrowed; the caller keeps them alive for the call). Without on_message the library writes
    // to the standard streams as usual; messages below min_level are never formatted.
    CallRunner(PyObject* on_message, PyObject* on_progress, int min_level = NVX_MSG_DEBUG);
    CallRunner(const CallRunner&) = delete;
    CallRunner& operator=(const CallRunner&) = delete;

    // Hooks to hand to the computation's parameter record (valid while the runner lives).
    const NVXRunHooks* hooks() const { return &hooks_; }
    NVXCancelToken* token() { return &token_; }

    // Runs work() on a worker thread and waits for it with the GIL released. Returns work()'s
    // status, or -1 with a Python exception set when a callback raised or a signal handler raised
    // (Ctrl-C): the token is then set and the worker joined before returning. Call with the GIL held.
    // `cancel`, when given, is called as well as setting the token (for computations that poll
    // something else).
    int run(const std::function<int()>& work, const std::function<void()>& cancel = {});

private:
    struct Item {
        bool is_progress;
        int level;
        std::string tag;  // stage for progress
        std::string text;
        double done, total;
    };
    static void on_message_c(int level, const char* tag, const char* text, void* user);
    static void on_progress_c(const char* stage, double done, double total, void* user);
    void push(Item&& item);
    int drain();  // with the GIL: delivers queued items; -1 when a callback raised

    PyObject* on_message_;
    PyObject* on_progress_;
    NVXCancelToken token_{};
    NVXRunHooks hooks_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    bool finished_ = false;
};

}  // namespace nvx::py
