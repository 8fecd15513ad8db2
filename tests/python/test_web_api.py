# The web calculator's JSON API through Flask's test client: answers equal nuvex.run bit for bit,
# bad input gets HTTP 400 with the package's own message, sizes and work are bounded.
import csv
import io
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("flask", reason="the web calculator needs Flask (Debian: python3-flask)")
pytest.importorskip("plotly", reason="the web calculator needs plotly (Debian: python3-plotly)")

import nuvex  # noqa: E402
from nuvex.web import Limits, Service, create_app  # noqa: E402
from nuvex.web.server import main as serve_main  # noqa: E402

QUANTITY_ATTRS = ("Yp", "Yp_mass", "DoH", "He3oH", "He3oHe4", "Li7oH", "Li6oLi7", "YCNO", "Neff")


@pytest.fixture(scope="module")
def cold_data_dir(data_dir, tmp_path_factory):
    """A copy of the data directory without the run-time caches other suites may have written into
    it (a run looks there for a table its cache directory lacks): runs on it build their tables."""
    path = tmp_path_factory.mktemp("cold") / "data"

    def runtime_caches(folder, names):
        if "cache_plasma_weak" not in pathlib.Path(folder).parts:
            return []
        return [n for n in names if (pathlib.Path(folder) / n).is_file() and not n.startswith("QED_pressure_correction")]

    shutil.copytree(data_dir, path, ignore=runtime_caches)
    return str(path)


@pytest.fixture(scope="module")
def service(cache_dir, data_dir):
    s = Service(data_dir=data_dir, cache_dir=cache_dir, workers=2)
    yield s
    s.close()


@pytest.fixture(scope="module")
def client(service):
    return create_app(service).test_client()


def reference(cache_dir, data_dir, **params):
    return nuvex.run(cache_dir=cache_dir, data_dir=data_dir, show_progress=False, **params)


def values(body):
    return {q["name"]: q["value"] for q in body["quantities"]}


def assert_same_result(body, ref):
    got = values(body)
    for attr in QUANTITY_ATTRS:
        want = getattr(ref, attr)
        if want is None:
            assert attr not in got
        else:
            assert got[attr] == want, attr  # exact: JSON carries the shortest round-trip digits
    assert body["abundances"] == ref.abundances


# ---- answers equal nuvex.run -------------------------------------------------------------------

CASES = [
    {},
    {"Omegabh2": 0.0231, "tau_n": 879.5, "DeltaNeff": 0.42},
    {"network": "large", "Omegabh2": 0.0215},
    {"delta_d_p__He3_g": 0.1, "p_n_p__d_g": -1.0},
    {"DeltaNeff": -0.7, "tau_n": 885},
    {"rate_set": "primat", "Omegabh2": 0.0221},
]


def test_runs_equal_nuvex_run_bit_for_bit_in_any_order(client, cache_dir, data_dir):
    # Pooled sessions run one request after another: a session that carried anything of an earlier
    # request (a network, a rate variation, a lifetime) into a later one would break the equality.
    refs = [reference(cache_dir, data_dir, **p) for p in CASES]
    order = [0, 2, 1, 3, 5, 2, 4, 0, 5, 3, 1, 2, 0]
    for i in order:
        resp = client.post("/api/run", json={"params": CASES[i]})
        assert resp.status_code == 200, resp.json
        assert_same_result(resp.json, refs[i])
    # the query string carries the same numbers as the JSON body
    resp = client.get("/api/run?Omegabh2=0.0231&tau_n=879.5&DeltaNeff=0.42")
    assert_same_result(resp.json, refs[1])


def test_eta10_sets_the_baryon_density(client, cache_dir, data_dir):
    resp = client.post("/api/run", json={"params": {"eta10": 6.0}})
    ob = nuvex.Omegabh2_from_eta10(6.0)
    assert resp.json["params"]["Omegabh2"] == ob
    assert_same_result(resp.json, reference(cache_dir, data_dir, Omegabh2=ob))


def test_result_csv_reads_back_to_the_json_numbers(client):
    params = "Omegabh2=0.0228&network=large"
    body = client.get(f"/api/run?{params}").json
    resp = client.get(f"/api/run?{params}&format=csv")
    assert resp.mimetype == "text/csv"
    assert "attachment" in resp.headers["Content-Disposition"]
    rows = list(csv.DictReader(io.StringIO(resp.data.decode())))
    quantities = {r["name"]: float(r["value"]) for r in rows if r["kind"] == "quantity"}
    assert quantities == values(body)
    abundances = {r["name"]: float(r["value"]) for r in rows if r["kind"] == "abundance"}
    assert abundances == body["abundances"]
    params_back = {r["name"]: r["value"] for r in rows if r["kind"] == "parameter"}
    assert float(params_back["Omegabh2"]) == 0.0228 and params_back["network"] == "large"
    download = client.get(f"/api/run?{params}&format=json&download=1")
    assert "attachment" in download.headers["Content-Disposition"]
    assert values(download.json) == values(body)


def test_evolution_equals_nuvex_run_and_its_csv(client, cache_dir, data_dir):
    ref = reference(cache_dir, data_dir, DeltaNeff=0.3, output_time_evolution=True, output_n_points=60).evolution
    body = client.post("/api/evolution", json={"params": {"DeltaNeff": 0.3}, "points": 60}).json
    for name in ("t", "a", "T_gamma", "T_nue"):
        assert body[name] == getattr(ref, name).tolist()
    assert body["Y"] == {k: v.tolist() for k, v in ref.Y.items()}
    assert body["A"]["He4"] == 4 and body["A"]["H2"] == 2 and body["A"]["n"] == 1
    text = client.get("/api/evolution?DeltaNeff=0.3&points=60&format=csv").data.decode()
    rows = list(csv.reader(io.StringIO(text)))
    assert rows[0][:3] == ["t_s", "a", "T_gamma_MeV"] and len(rows) == 61
    table = np.array([[float(x) for x in r] for r in rows[1:]])
    assert np.array_equal(table[:, 0], ref.t)
    assert np.array_equal(table[:, rows[0].index("Y_He4")], ref.Y["He4"])


def test_schramm_equals_runs_and_monte_carlo_and_is_kept(client, cache_dir, data_dir):
    request = {"params": {"DeltaNeff": 0.2, "Omegabh2": 0.03}, "points": 3, "samples": 6, "seed": 4}
    first = client.post("/api/schramm", json=request)
    assert first.status_code == 200, first.json
    body = first.json
    assert body["cached"] is False and len(body["Omegabh2"]) == 3
    assert body["Omegabh2"][0] == pytest.approx(0.004) and body["Omegabh2"][-1] == pytest.approx(0.04)
    for i, ob in enumerate(body["Omegabh2"]):
        mc = nuvex.monte_carlo(6, ["Yp", "DoH", "He3oH", "Li7oH"], seed=4, jobs=1, progress=False,
                               cache_dir=cache_dir, data_dir=data_dir, DeltaNeff=0.2, Omegabh2=ob)
        run = reference(cache_dir, data_dir, DeltaNeff=0.2, Omegabh2=ob)
        for q in ("Yp", "DoH", "He3oH", "Li7oH"):
            band = body["quantities"][q]
            assert band["central"][i] == run[q]
            lo, hi = np.percentile(mc.samples[q], [2.5, 97.5])
            assert (band["lo"][i], band["hi"][i]) == (lo, hi)
            assert lo <= hi
    assert {o["quantity"] for o in body["observations"]} >= {"DoH", "Yp"}
    # the baryon density of the request does not change the setting: the same bands, kept
    again = client.post("/api/schramm", json={**request, "params": {"DeltaNeff": 0.2}}).json
    assert again["cached"] is True
    assert again["quantities"] == body["quantities"]


# ---- bad input: HTTP 400 with the package's message ---------------------------------------------

def package_error(cache_dir, data_dir, **params):
    with pytest.raises((ValueError, TypeError)) as info:
        reference(cache_dir, data_dir, **params)
    return str(info.value)


@pytest.mark.parametrize("params, key", [
    ({"tua_n": 880.0}, "tua_n"),
    ({"tau_n": -5.0}, "tau_n"),
    ({"tau_n": "abc"}, "tau_n"),
    ({"Omegabh2": 0}, "Omegabh2"),
    ({"delta_d_p__He3_x": 0.1}, "delta_d_p__He3_x"),
    ({"rate_set": "../../x"}, "rate_set"),
])
def test_refused_input_gets_400_with_the_package_message(client, cache_dir, data_dir, params, key):
    resp = client.post("/api/run", json={"params": params})
    assert resp.status_code == 400
    assert resp.json == {"error": package_error(cache_dir, data_dir, **params), "key": key}
    # the same through the query string, where values are text
    query = "&".join(f"{k}={v}" for k, v in params.items())
    assert client.get(f"/api/run?{query}").json["error"] == resp.json["error"]


def test_web_rules_name_the_key(client):
    cases = [
        ({"network": "../../../etc/passwd"}, "network"),   # a network name is a file name in the data folder
        ({"eta10": 6.1, "Omegabh2": 0.0224}, "eta10"),
        ({"eta10": -1}, "eta10"),
        ({"tau_n": [880]}, "tau_n"),
        ({"DeltaNeff": {"a": 1}}, "DeltaNeff"),
    ]
    for params, key in cases:
        resp = client.post("/api/run", json={"params": params})
        assert resp.status_code == 400, params
        assert resp.json["key"] == key and key in resp.json["error"]


@pytest.mark.parametrize("key", ["output_file", "output_final_result", "cache_dir", "user_nuclear_dir",
                                 "custom_background", "solan_file", "recompute_qed_corrections", "vegas_n_eval",
                                 "numerical_precision", "GN", "data_dir", "custom_network", "on_progress"])
def test_keys_a_page_may_not_set_are_refused(client, key, tmp_path, monkeypatch):
    # file keys would read or write outside the cache directory; numerical keys set the cost of a run
    monkeypatch.chdir(tmp_path)
    resp = client.post("/api/run", json={"params": {key: str(tmp_path / "x")}})
    assert resp.status_code == 400
    assert resp.json["key"] == key and "cannot be set through the web calculator" in resp.json["error"]
    assert list(tmp_path.iterdir()) == []


def test_request_shapes(client):
    assert client.post("/api/run", data="Omegabh2=0.02", content_type="application/x-www-form-urlencoded").status_code == 415
    assert client.post("/api/run", data="{not json", content_type="application/json").status_code == 400
    assert client.post("/api/run", json=[1, 2]).status_code == 400
    assert client.post("/api/run", json={"params": [1]}).status_code == 400
    assert client.post("/api/run", json={"prams": {}}).json["key"] == "prams"
    assert client.get("/api/run?tau_n=880&tau_n=881").json["key"] == "tau_n"
    assert client.post("/api/run", json={"params": {}, "client": "a"}).json["key"] == "seq"
    assert client.post("/api/run", json={"params": {}, "client": "a b", "seq": 1}).json["key"] == "client"
    assert client.post("/api/run", json={"params": {}, "format": "xml"}).json["key"] == "format"
    assert client.post("/api/schramm", json={"params": {}, "format": "csv"}).status_code == 400
    for options, key in [({"points": 5000}, "points"), ({"points": "many"}, "points"), ({"points": True}, "points")]:
        resp = client.post("/api/evolution", json={"params": {}, **options})
        assert resp.status_code == 400 and resp.json["key"] == key
    assert client.delete("/api/run").status_code == 405
    assert client.get("/api/nothing").status_code == 404
    assert client.get("/api/nothing").is_json


def test_no_input_gives_a_server_error(client):
    # every value a page or a script may send ends in a result or a clear error, never HTTP 500
    odd = [None, True, "", " ", "1e999", "nan", -0.0, 1e308, -1e308, 5e-324, "x" * 2000, "0x10", "∞", 2**70]
    for key in ("Omegabh2", "eta10", "DeltaNeff", "tau_n", "munuOverTnu_e", "network", "delta_n_p__d_g",
                "p_d_p__He3_g", "Neff", ""):
        for value in odd:
            if key == "munuOverTnu_e" and isinstance(value, (int, float)) and not isinstance(value, bool) and value != 0:
                continue  # a new degeneracy builds weak-rate tables: minutes, not this test
            resp = client.post("/api/run", json={"params": {key: value}})
            assert resp.status_code in (200, 400, 422), (key, value, resp.status_code)
            if resp.status_code != 200:
                assert resp.json["error"], (key, value)


# ---- bounded sizes and work ---------------------------------------------------------------------

def test_sizes_are_bounded(client, service):
    limit = service.limits.body_bytes
    big = {"params": {"Omegabh2": 0.0224}, "client": "c", "seq": 1, "pad": "x" * limit}
    resp = client.post("/api/run", data=json.dumps(big), content_type="application/json")
    assert resp.status_code == 413 and str(limit) in resp.json["error"]
    assert client.get("/api/run?tau_n=880&x=" + "y" * limit).status_code == 414
    many = {f"delta_r{i}": 0.0 for i in range(service.limits.params + 1)}
    assert "too many parameters" in client.post("/api/run", json={"params": many}).json["error"]
    resp = client.post("/api/schramm", json={"params": {}, "points": 40, "samples": 200})
    assert resp.status_code == 400 and "limit" in resp.json["error"]


def test_a_newer_request_from_the_same_page_supersedes(client, service):
    service.latest.note("page-1", "run", 5)
    old = client.post("/api/run", json={"params": {}, "client": "page-1", "seq": 3})
    assert old.status_code == 409 and old.json["superseded"] is True
    for seq in (5, 6):
        resp = client.post("/api/run", json={"params": {}, "client": "page-1", "seq": seq})
        assert resp.status_code == 200 and resp.json["seq"] == seq
    # another page and another channel are independent
    assert client.post("/api/run", json={"params": {}, "client": "page-2", "seq": 0}).status_code == 200
    assert client.post("/api/evolution", json={"params": {}, "client": "page-1", "seq": 0}).status_code == 200


def test_superseded_table_build_stops_and_the_newer_request_answers(cold_data_dir, tmp_path):
    # A cold cache directory: the first request builds the electron-positron table (seconds); the
    # newer request of the same page stops it, then builds the table itself.
    service = Service(data_dir=cold_data_dir, cache_dir=tmp_path / "cache", workers=2)
    client = create_app(service).test_client()
    answers = {}

    def ask(seq):
        t0 = time.monotonic()
        answers[seq] = (client.post("/api/run", json={"params": {}, "client": "p", "seq": seq}), time.monotonic() - t0)

    first = threading.Thread(target=ask, args=(1,))
    first.start()
    deadline = time.monotonic() + 60
    while not service.building and first.is_alive() and time.monotonic() < deadline:
        time.sleep(0.01)
    ask(2)
    first.join(timeout=120)
    service.close()
    assert answers[1][0].status_code == 409
    assert answers[2][0].status_code == 200
    assert answers[1][1] < answers[2][1]  # the first gave up before the second finished its build


def test_time_limit_bounds_the_wait_but_lets_a_table_build_finish(cold_data_dir, tmp_path):
    # A cold cache directory: the first page builds the electron-positron table (seconds) and gets
    # its numbers, past the time limit (a build cut short would start again at the next request);
    # the second page waits for that build and is told to come back when its time is up.
    service = Service(data_dir=cold_data_dir, cache_dir=tmp_path / "cache", workers=2, limits=Limits(seconds=0.3))
    client = create_app(service).test_client()
    answers = {}

    def ask(name):
        t0 = time.monotonic()
        answers[name] = (client.post("/api/run", json={"params": {}, "client": name, "seq": 0}), time.monotonic() - t0)

    builder = threading.Thread(target=ask, args=("a",))
    builder.start()
    deadline = time.monotonic() + 60
    while not service.building and builder.is_alive() and time.monotonic() < deadline:
        time.sleep(0.01)
    ask("b")
    builder.join(timeout=300)
    service.close()
    (built, t_built), (waited, t_waited) = answers["a"], answers["b"]
    assert built.status_code == 200
    assert waited.status_code == 503 and "limit of 0.3 s" in waited.json["error"] and waited.headers["Retry-After"]
    assert t_waited < t_built


def test_concurrent_cold_requests_build_once_and_agree(cold_data_dir, data_dir, tmp_path, cache_dir):
    # Two pages on a cold cache: one builds the tables, the other waits for it and reuses them.
    service = Service(data_dir=cold_data_dir, cache_dir=tmp_path / "cache", workers=2)
    client = create_app(service).test_client()
    answers = []
    threads = [threading.Thread(target=lambda i=i: answers.append(
        client.post("/api/run", json={"params": {"Omegabh2": 0.022 + 0.001 * i}}))) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    service.close()
    assert [a.status_code for a in answers] == [200, 200]
    for a in answers:
        ob = a.json["params"]["Omegabh2"]
        assert_same_result(a.json, reference(cache_dir, data_dir, Omegabh2=ob))


def test_writes_stay_in_the_cache_directory(cold_data_dir, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    service = Service(data_dir=cold_data_dir, cache_dir=tmp_path / "cache", workers=1)
    client = create_app(service).test_client()
    for path, body in [("/api/run", {"params": {"network": "large"}}), ("/api/evolution", {"params": {}}),
                       ("/api/schramm", {"params": {}, "points": 3, "samples": 2})]:
        assert client.post(path, json=body).status_code == 200
    service.close()
    assert list(work.iterdir()) == []
    assert set(tmp_path.iterdir()) == {work, tmp_path / "cache"}


def test_answers_only_under_loopback_names(service):
    client = create_app(service, allowed_hosts=frozenset({"localhost", "127.0.0.1", "::1"})).test_client()
    assert client.get("/api/meta", headers={"Host": "127.0.0.1:8050"}).status_code == 200
    assert client.get("/api/meta", headers={"Host": "[::1]:8050"}).status_code == 200
    resp = client.get("/api/meta", headers={"Host": "attacker.example:8050"})
    assert resp.status_code == 400 and "attacker.example" in resp.json["error"]


def test_page_and_plotly_are_served_locally(client):
    page = client.get("/")
    assert page.status_code == 200
    html = page.data.decode()
    assert "https://" not in html and "http://" not in html  # nothing from the network
    assert "Content-Security-Policy" in page.headers
    src = html.split('data-plotly="', 1)[1].split('"', 1)[0]
    js = client.get(src)
    assert js.status_code == 200 and b"plotly.js" in js.data[:400]
    assert "immutable" in js.headers["Cache-Control"]
    assert client.get(src, headers={"If-None-Match": js.headers["ETag"]}).status_code == 304
    meta = client.get("/api/meta").json
    names = {r["name"] for r in meta["networks"]["small"]}
    assert "n_p__d_g" in names and len(meta["networks"]["large"]) > len(names)
    # a person reads reactions in nuclear notation, never the internal names
    labels = {r["name"]: r["label"] for r in meta["networks"]["large"]}
    assert labels["d_d__He3_n"] == "d(d,n)3He" and labels["n_p__d_g"] == "p(n,γ)d"
    assert not any("__" in label for label in labels.values())
    assert meta["inputs"]["tau_n"]["unit"] == "s"
    assert [r["name"] for r in meta["rate_sets"]] == sorted(nuvex.rate_sets())


# ---- the command --------------------------------------------------------------------------------

def read_line(proc, timeout):
    """The first line of a process's output, or "" when none comes in time."""
    got = []
    reader = threading.Thread(target=lambda: got.append(proc.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return got[0] if got else ""


def test_command_serves_on_loopback_and_stops_cleanly(tmp_path, data_dir):
    env = {**os.environ, "HOME": str(tmp_path), "XDG_CACHE_HOME": str(tmp_path / "xdg")}
    proc = subprocess.Popen([sys.executable, "-m", "nuvex.web", "--port", "0", "--data-dir", data_dir,
                             "--cache-dir", str(tmp_path / "cache"), "--workers", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, cwd=tmp_path)
    try:
        line = read_line(proc, timeout=180)
        assert line.startswith("python3 -m nuvex.web: http://127.0.0.1:"), line + proc.stderr.read()
        url = next(word for word in line.split() if word.startswith("http://"))
        import urllib.request

        with urllib.request.urlopen(url + "api/run?Omegabh2=0.0224", timeout=60) as r:
            assert json.load(r)["params"]["Omegabh2"] == 0.0224
        proc.send_signal(signal.SIGTERM)  # as `kill` or a service manager stops it; Ctrl-C takes the same way
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert not any(p.name == "results" for p in tmp_path.iterdir())


def test_command_reports_a_port_in_use(capsys, data_dir, tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        port = s.getsockname()[1]
        code = serve_main(["--port", str(port), "--data-dir", data_dir, "--cache-dir", str(tmp_path)])
    assert code == 1
    err = capsys.readouterr().err
    assert f"127.0.0.1:{port}" in err and "--port 0" in err
    assert serve_main(["--data-dir", str(tmp_path)]) == 1
    assert "not a NUVEX data directory" in capsys.readouterr().err
