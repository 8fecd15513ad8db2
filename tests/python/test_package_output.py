# What the package writes and where: nothing on standard output unless verbose, log lines and
# warnings through the "nuvex" logger, progress bars on standard error, no stray output files, and
# Ctrl-C passing through the package's callbacks.
import logging
import os
import signal
import threading
import time

import pytest

import nuvex
from nuvex._progress import Reporter


@pytest.fixture()
def default_env(monkeypatch, xdg_cache_home, tmp_path):
    """A bare nuvex.run(): the session's per-user cache, a scratch working directory."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(xdg_cache_home))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_default_run_prints_nothing(default_env, capfd):
    r = nuvex.run()
    out, err = capfd.readouterr()
    assert out == "" and err == ""
    assert 0.24 < r.Yp < 0.25
    assert list(default_env.iterdir()) == []


def test_evolution_writes_no_file_unless_asked(default_env, capfd, cache_dir):
    r = nuvex.run(cache_dir=cache_dir, thermal_corrections=False, output_time_evolution=True, output_n_points=20)
    assert r.evolution.t.shape == (20,)
    assert list(default_env.iterdir()) == [] and capfd.readouterr().out == ""
    nuvex.run(cache_dir=cache_dir, thermal_corrections=False, output_time_evolution=True, output_n_points=20,
              output_file="evo.tsv")
    assert len((default_env / "evo.tsv").read_text().splitlines()) == 21
    assert capfd.readouterr().out == ""


def test_monte_carlo_prints_nothing_on_stdout(default_env, capfd, cache_dir):
    nuvex.monte_carlo(3, ("DoH",), progress=False, cache_dir=cache_dir, thermal_corrections=False)
    assert capfd.readouterr() == ("", "")
    nuvex.monte_carlo(3, ("DoH",), progress=True, cache_dir=cache_dir, thermal_corrections=False)
    out, err = capfd.readouterr()
    assert out == "" and err != ""


def test_log_lines_notices_and_warnings_reach_the_logger(default_env, caplog, capfd, cache_dir):
    caplog.set_level(logging.INFO, logger="nuvex")
    nuvex.run(cache_dir=cache_dir, thermal_corrections=False, output_final_result=True, output_final_file="final.dat")
    infos = [r.getMessage() for r in caplog.records if r.name == "nuvex" and r.levelno == logging.INFO]
    assert any(m.startswith("[rates] MT network: ") for m in infos)
    assert any(m.startswith("[output] Final abundances") for m in infos)
    caplog.clear()
    # a final-abundance file that cannot be written (its path is a directory) fails the run
    # the message names the user's call, not the solver function that failed
    with pytest.raises(RuntimeError, match="^nuvex.run: cannot open "):
        nuvex.run(cache_dir=cache_dir, thermal_corrections=False, output_final_result=True,
                  output_final_file=str(default_env))
    # a cache that cannot be written is a warning (the run goes on with the computed tables)
    blocker = default_env / "not_a_dir"
    blocker.write_text("x")
    nuvex.run(cache_dir=str(blocker / "sub"), thermal_corrections=False, n_electron_table=200)
    warnings = [r for r in caplog.records if r.name == "nuvex" and r.levelno == logging.WARNING]
    assert warnings and warnings[0].getMessage().startswith("[plasma-c] could not write cache to ")
    assert warnings[0].nuvex_tag == "plasma"
    assert capfd.readouterr().out == ""


def test_verbose_prints_the_solver_log_on_stdout(default_env, capsys, caplog, cache_dir):
    caplog.set_level(logging.DEBUG, logger="nuvex")
    nuvex.run(cache_dir=cache_dir, thermal_corrections=False, verbose=True)
    out = capsys.readouterr().out
    assert "Welcome to NUVEX" in out
    assert "[opts-c] backend              = c\n" in out
    assert "[rates-c] MT network: " in out
    assert not [r for r in caplog.records if r.name == "nuvex"]


def test_progress_bars_of_long_stages(capsys):
    with Reporter(bars=True) as rep:
        for stage in ("HT", "MT"):
            rep.on_progress(stage, 0.0, 0.0)
        assert capsys.readouterr().err == ""
        for k in range(11):
            rep.on_progress("weak", k, 10)
        rep.on_progress("thermal", 3, 3)
    err = capsys.readouterr().err
    assert "weak-rate table" in err and "10/10" in err and "thermal-correction table" in err
    with Reporter(bars=False) as quiet:
        quiet.on_progress("weak", 1, 10)
    assert capsys.readouterr().err == ""


def test_a_broken_progress_bar_does_not_end_the_run(monkeypatch, capsys):
    import tqdm.auto

    def broken(*a, **k):
        raise OSError("no terminal")

    monkeypatch.setattr(tqdm.auto, "tqdm", broken)
    rep = Reporter(bars=True)
    rep.on_progress("weak", 1, 10)
    rep.on_progress("weak", 2, 10)
    assert rep.bars is False


def test_ctrl_c_interrupts_a_monte_carlo(cache_dir):
    params = {"cache_dir": cache_dir, "thermal_corrections": False}
    nuvex.monte_carlo(1, ("DoH",), progress=False, **params)  # warm: the interrupt lands among samples
    timer = threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            nuvex.monte_carlo(100000, ("DoH",), progress=True, **params)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 30
    assert nuvex.monte_carlo(2, ("DoH",), progress=False, **params).samples["DoH"].shape == (2,)
