// The call runner: worker thread, message queue drained on the calling thread, signal checks that
// turn Ctrl-C into a cancellation of the call's own token (concurrent calls stay independent).
#include "call_runner.hpp"

#include <chrono>
#include <exception>
#include <thread>

namespace nvx::py {

namespace {

bool given(PyObject* f) { return f && f != Py_None; }

// Releases the GIL for the lifetime of the object.
struct NoGil {
    PyThreadState* state = PyEval_SaveThread();
    ~NoGil() { PyEval_RestoreThread(state); }
};

}  // namespace

CallRunner::CallRunner(PyObject* on_message, PyObject* on_progress, int min_level)
    : on_message_(given(on_message) ? on_message : nullptr),
      on_progress_(given(on_progress) ? on_progress : nullptr) {
    hooks_.message = on_message_ ? &CallRunner::on_message_c : nullptr;
    hooks_.progress = on_progress_ ? &CallRunner::on_progress_c : nullptr;
    hooks_.user = this;
    hooks_.cancel = &token_;
    hooks_.min_level = min_level;
}

void CallRunner::on_message_c(int level, const char* tag, const char* text, void* user) {
    static_cast<CallRunner*>(user)->push(Item{false, level, tag ? tag : "", text ? text : "", 0.0, 0.0});
}

void CallRunner::on_progress_c(const char* stage, double done, double total, void* user) {
    static_cast<CallRunner*>(user)->push(Item{true, 0, stage ? stage : "", {}, done, total});
}

void CallRunner::push(Item&& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A newer progress report of the same stage supersedes a queued one: no backlog of stale bars.
    if (item.is_progress && !queue_.empty() && queue_.back().is_progress && queue_.back().tag == item.tag)
        queue_.back() = std::move(item);
    else
        queue_.push_back(std::move(item));
    wake_.notify_one();
}

int CallRunner::drain() {
    std::deque<Item> items;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items.swap(queue_);
    }
    for (const Item& it : items) {
        PyObject* r = it.is_progress
                          ? PyObject_CallFunction(on_progress_, "sdd", it.tag.c_str(), it.done, it.total)
                          : PyObject_CallFunction(on_message_, "iss", it.level, it.tag.c_str(), it.text.c_str());
        if (!r) return -1;
        Py_DECREF(r);
    }
    return 0;
}

int CallRunner::run(const std::function<int()>& work, const std::function<void()>& cancel) {
    int status = 1;
    std::thread worker;
    try {
        worker = std::thread([&] {
            int rc = work();
            std::lock_guard<std::mutex> lock(mutex_);
            status = rc;
            finished_ = true;
            wake_.notify_one();
        });
    } catch (const std::exception&) {
        PyErr_SetString(PyExc_RuntimeError, "could not start the computation thread");
        return -1;
    }
    bool failed = false;
    for (;;) {
        bool finished;
        {
            NoGil released;
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished_ || !queue_.empty(); });
            finished = finished_;
        }
        if (drain() != 0 || PyErr_CheckSignals() != 0) {
            failed = true;
            break;
        }
        if (finished) break;
    }
    if (failed) {
        nvx_cancel_request(&token_);
        if (cancel) cancel();
    }
    {
        NoGil released;
        worker.join();
    }
    if (failed) return -1;
    // messages queued between the last drain and the end of the computation
    return drain() != 0 ? -1 : status;
}

}  // namespace nvx::py
