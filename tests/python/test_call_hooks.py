# Calls through the extension's call runner: messages and progress reach Python callables on the
# calling thread (nothing written to the standard streams), a raising callback stops the run, and
# the computation leaves other Python threads running.
import threading
import time

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


def test_messages_and_progress_reach_callables(data_dir, capfd):
    messages, stages = [], []
    caller = threading.get_ident()

    def on_message(level, tag, text):
        assert threading.get_ident() == caller
        messages.append((level, tag, text))

    def on_progress(stage, done, total):
        stages.append(stage)

    res = _nuvex_c.run_bbn({"verbose": True}, data_dir, on_message=on_message, on_progress=on_progress)
    out, err = capfd.readouterr()
    assert out == "" and err == ""
    assert 0.24 < res["YPBBN"] < 0.26
    assert any(level == 1 and tag == "opts" and text.startswith("backend") for level, tag, text in messages)
    assert any(level == 2 and "Welcome to NUVEX" in text for level, _, text in messages)
    assert stages[-4:] == ["HT", "MT", "LT", "done"]


def test_message_level_filters_and_bad_callables(data_dir):
    messages = []
    _nuvex_c.run_bbn({"verbose": True}, data_dir, on_message=lambda *m: messages.append(m), message_level=4)
    assert all(level >= 4 for level, _, _ in messages)
    with pytest.raises(TypeError, match="on_message must be callable or None"):
        _nuvex_c.run_bbn({}, data_dir, on_message=3)
    with pytest.raises(TypeError, match="on_progress must be callable or None"):
        _nuvex_c.run_mc({}, data_dir, 2, ["YPBBN"], on_progress="x")


def test_raising_callback_ends_the_call(data_dir):
    def on_progress(stage, done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        _nuvex_c.run_bbn({}, data_dir, on_progress=on_progress)


def test_gil_is_released_during_a_run(data_dir):
    # Another thread keeps counting while the eras are integrated: between the progress report of
    # the mid-temperature era and the final one, it must have run.
    count = [0]
    seen = {}
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0.0005)

    def on_progress(stage, done, total):
        seen[stage] = count[0]

    t = threading.Thread(target=counter)
    t.start()
    try:
        _nuvex_c.run_bbn({"network": "large"}, data_dir, on_progress=on_progress)
    finally:
        stop.set()
        t.join()
    assert seen["done"] > seen["MT"]
