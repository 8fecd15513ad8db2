#!/usr/bin/python3
# Mutation testing: applies each one-line fault of mutants.txt to a scratch copy of the project,
# rebuilds it incrementally, runs the test suite and reports which tests killed it and how far it moved the defaults.
"""Usage: tools/mutate/mutate.py [--list] [--full] [--jobs N] [--timeout S] [MUTANT_ID_OR_REGEX ...]

The scratch copy lives in build-mutate/src with its CMake build in build-mutate/build (kept between
invocations, so only the first run builds everything). The report goes to standard output and to
build-mutate/report.md.
"""
import argparse
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_LIST = os.path.join(ROOT, "tools", "mutate", "mutants.txt")
QUANTITIES = ("YPBBN", "DoH", "He3oH", "Li7oH")
PYTHON = "/usr/bin/python3"

# Python suites most related to each source folder (run first, with that folder's gtest executable).
RELATED_PYTEST = {
    "config": ["test_module.py", "test_run.py", "test_integrity.py"],
    "cache": ["test_integrity.py", "test_data_dir.py"],
    "mc": ["test_mc.py", "test_package_mc.py"],
    "run": ["test_session.py", "test_run.py", "test_call_hooks.py"],
    "integration": ["test_run.py", "test_package_output.py"],
    "_wrapper": ["test_module.py", "test_run.py", "test_mc.py", "test_session.py", "test_call_hooks.py"],
    "python": ["test_package_api.py", "test_package_mc.py", "test_package_output.py", "test_scan.py",
               "test_sensitivity.py", "test_tables.py"],
}
# Tests of the decoupling-table generator, which is built from tools/solan alone (it links no library
# code): they cannot see a fault elsewhere and run only for mutants of their own sources.
# The tool's own test checks the mutant list against the tree, which a mutant changes on purpose.
OWN_SOURCES_ONLY = {"test_solan": ("tools/solan/",), "test_solan_tables.py": ("tools/solan/", "data/SOLAN/"),
                    "test_mutation_tool.py": ("tools/mutate/",)}
# Folders whose faults reach the abundances mostly through the integration tests.
FEEDS_INTEGRATION = {"weak", "network", "background", "plasma", "neutrino"}


class ListError(Exception):
    pass


@dataclass
class Mutant:
    id: str
    line: int  # line of the list where the block starts
    file: str = ""
    desc: str = ""
    before: str = ""
    after: str = ""


@dataclass
class Outcome:
    status: str = ""  # killed, timeout, survived, no-compile
    killers: list = field(default_factory=list)
    shift: float = float("nan")  # largest relative change of a default abundance
    shift_note: str = ""
    seconds: float = 0.0
    earlier: str = ""  # date of the run that gave this outcome, when taken from an earlier run


def mutant_key(m):
    return [m.file, m.before, m.after]


def load_results(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def save_results(path, results):
    with open(path + ".tmp", "w") as f:
        json.dump(results, f, indent=1)
    os.replace(path + ".tmp", path)


# ---------------------------------------------------------------- the list
KEYS = ("file", "desc", "before", "after")


def parse_list(text, path="mutants.txt"):
    """Blocks '== ID' followed by 'file:', 'desc:', 'before:', 'after:' lines; a line starting with
    '| ' continues the previous text with a newline. '#' lines and blank lines separate nothing."""
    mutants, cur, last_key = [], None, None
    for n, raw in enumerate(text.splitlines(), 1):
        if raw.startswith("#") or not raw.strip():
            last_key = None
            continue
        if raw.startswith("== "):
            cur = Mutant(id=raw[3:].strip(), line=n)
            if not re.fullmatch(r"[A-Za-z0-9_.-]+", cur.id):
                raise ListError(f"{path}:{n}: mutant id '{cur.id}' must be letters, digits, '_', '.', '-'")
            mutants.append(cur)
            last_key = None
            continue
        if cur is None:
            raise ListError(f"{path}:{n}: text before the first '== ID' line")
        if raw.startswith("|"):
            if last_key not in ("before", "after"):
                raise ListError(f"{path}:{n}: mutant {cur.id}: continuation line outside 'before:'/'after:'")
            setattr(cur, last_key, getattr(cur, last_key) + "\n" + raw[2:])
            continue
        key, sep, value = raw.partition(":")
        if not sep or key not in KEYS:
            raise ListError(f"{path}:{n}: mutant {cur.id}: expected one of {', '.join(k + ':' for k in KEYS)}")
        value = value[1:] if value.startswith(" ") else value
        if key in ("file", "desc"):
            value = value.strip()
        setattr(cur, key, value)
        last_key = key
    return mutants


def validate(mutants, root, path="mutants.txt"):
    """Every problem of the list, each naming the list's line and the mutant."""
    errors, seen = [], {}
    for m in mutants:
        where = f"{path}:{m.line}: mutant {m.id}"
        if m.id in seen:
            errors.append(f"{where}: id already used at line {seen[m.id]}")
        seen.setdefault(m.id, m.line)
        if not m.desc:
            errors.append(f"{where}: empty description")
        if not m.file:
            errors.append(f"{where}: no file")
            continue
        if not m.before:
            errors.append(f"{where}: empty 'before' text")
            continue
        if m.before == m.after:
            errors.append(f"{where}: 'after' equals 'before'")
        full = os.path.join(root, m.file)
        if os.path.isabs(m.file) or ".." in m.file.split("/") or not os.path.isfile(full):
            errors.append(f"{where}: file not found: {m.file}")
            continue
        with open(full, encoding="utf-8") as f:
            count = f.read().count(m.before)
        if count == 0:
            errors.append(f"{where}: text not found in {m.file}: {m.before!r}")
        elif count > 1:
            errors.append(f"{where}: text found {count} times in {m.file} (must be unique): {m.before!r}")
    return errors


def load_list(path, root):
    with open(path, encoding="utf-8") as f:
        mutants = parse_list(f.read(), os.path.relpath(path, root))
    errors = validate(mutants, root, os.path.relpath(path, root))
    if errors:
        raise ListError("\n".join(errors))
    return mutants


def select(mutants, patterns):
    if not patterns:
        return mutants
    chosen = [m for m in mutants if any(p == m.id or re.search(p, m.id) for p in patterns)]
    if not chosen:
        raise ListError(f"no mutant matches {' '.join(patterns)}")
    return chosen


# ---------------------------------------------------------------- applying a mutant
def write_text(path, text):
    """Rewrites a file in place; its mtime becomes now, so the build sees it as changed."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    now = time.time_ns()
    os.utime(path, ns=(now, now))


class Applied:
    """Context manager: the mutant is in the file inside the block, the original text after it
    (with a fresh mtime, so that the next incremental build recompiles the restored file)."""

    def __init__(self, root, mutant):
        self.path = os.path.join(root, mutant.file)
        self.mutant = mutant
        self.original = None

    def __enter__(self):
        with open(self.path, encoding="utf-8") as f:
            self.original = f.read()
        if self.original.count(self.mutant.before) != 1:
            raise ListError(f"mutant {self.mutant.id}: text not found exactly once in {self.mutant.file}")
        write_text(self.path, self.original.replace(self.mutant.before, self.mutant.after, 1))
        return self

    def __exit__(self, *exc):
        write_text(self.path, self.original)
        return False


# ---------------------------------------------------------------- scratch copy
def tracked_files(root):
    out = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                         cwd=root, check=True, capture_output=True).stdout
    return sorted(p for p in out.decode().split("\0") if p and os.path.isfile(os.path.join(root, p)))


def sync(root, scratch):
    """Copies changed tracked files into scratch (fresh mtime), leaves unchanged ones untouched
    and removes files that an earlier sync copied but that are no longer tracked."""
    manifest = os.path.join(os.path.dirname(scratch), "manifest.txt")
    previous = set()
    if os.path.exists(manifest):
        with open(manifest) as f:
            previous = set(f.read().split("\n")) - {""}
    files = tracked_files(root)
    changed = 0
    for rel in files:
        src, dst = os.path.join(root, rel), os.path.join(scratch, rel)
        with open(src, "rb") as f:
            data = f.read()
        try:
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            pass
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        with open(dst, "wb") as f:
            f.write(data)
        shutil.copymode(src, dst)
        changed += 1
    for rel in previous - set(files):
        try:
            os.remove(os.path.join(scratch, rel))
        except OSError:
            pass
    with open(manifest + ".tmp", "w") as f:
        f.write("\n".join(files) + "\n")
    os.replace(manifest + ".tmp", manifest)
    return changed


def configure(scratch, build):
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", scratch, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DNUVEX_WERROR=ON", f"-DNUVEX_PYTHON={PYTHON}"], check=True, stdout=subprocess.DEVNULL)


def build_all(build, jobs, log_path):
    with open(log_path, "w") as log:
        rc = subprocess.run(["cmake", "--build", build, f"-j{jobs}"], stdout=log, stderr=subprocess.STDOUT).returncode
    return rc == 0


# ---------------------------------------------------------------- the suite
@dataclass
class Task:
    name: str  # the gtest executable or "pytest"
    cmd: list
    env: dict
    cwd: str
    kind: str  # gtest or pytest
    files: list = field(default_factory=list)  # pytest files


def discover(build):
    """The suite as ctest knows it: gtest executables (one process each) and the pytest command
    with its environment."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True, capture_output=True).stdout
    gtests, pytest = {}, None
    for t in json.loads(out)["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        env = dict(os.environ)
        env.update(e.split("=", 1) for e in props.get("ENVIRONMENT", []))
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        cwd = props.get("WORKING_DIRECTORY", build)
        cmd = t["command"]
        if t["name"] == "pytest":
            pytest = (cmd, env, cwd)
        elif os.path.basename(cmd[0]).startswith("test_"):
            gtests.setdefault(os.path.basename(cmd[0]), (cmd[0], env, cwd))
    return gtests, pytest


def plan(mutant, gtests, pytest, timings=None):
    """Tasks of the mutated file's subsystem first, then the rest of the suite, longest first (so that
    two lanes finish together); one pytest process per file, so that a file is a unit of work."""
    parts = mutant.file.split("/")
    folder = parts[1] if parts[0] == "src" else parts[0]
    first_exes = [f"test_{folder}"] + (["test_integration"] if folder in FEEDS_INTEGRATION else [])
    py_cmd, py_env, py_cwd = pytest
    # the suite's directory argument; the per-file tasks replace it (and any --ignore of a file
    # that ctest runs as an entry of its own: here every file is a task)
    py_dir = next(a for a in reversed(py_cmd) if not a.startswith("-") and os.path.isdir(a))
    py_cmd = [a for a in py_cmd if a != py_dir and not a.startswith("--ignore=")] + [py_dir]
    all_py = sorted(f for f in os.listdir(py_dir) if f.startswith("test_") and f.endswith(".py"))
    first_py = [f for f in RELATED_PYTEST.get(folder, []) if f in all_py]

    def gtask(name):
        exe, env, cwd = gtests[name]
        return Task(name, [exe, "--gtest_brief=1"], env, cwd, "gtest")

    def ptask(f):
        return Task(f, py_cmd[:-1] + ["-rf", os.path.join(py_dir, f)], py_env, py_cwd, "pytest", [f])

    first = [gtask(n) for n in first_exes if n in gtests] + [ptask(f) for f in first_py]
    rest = [ptask(f) for f in all_py if f not in first_py] + [gtask(n) for n in sorted(gtests) if n not in first_exes]
    if timings:
        rest.sort(key=lambda t: -timings.get(t.name, 0.0))
    return [t for t in first + rest
            if t.name not in OWN_SOURCES_ONLY or mutant.file.startswith(OWN_SOURCES_ONLY[t.name])]


def killers_of(task, rc, output):
    if task.kind == "gtest":
        names = re.findall(r"^\[  FAILED  \] ([\w/.]+)", output, re.M)
        names = sorted(set(n for n in names if "." in n))
        if names:
            return [f"{task.name}:{n}" for n in names]
        return [f"{task.name} (exit {rc})"]
    names = sorted(set(re.findall(r"^(?:FAILED|ERROR) (\S+)", output, re.M)))
    if names:
        return [n.split("tests/python/")[-1] for n in names]
    return [f"pytest {' '.join(task.files)} (exit {rc})"]


def clean_data_caches(scratch):
    """Removes the caches that runs without cache_dir write into the scratch data directory (the
    shipped QED tables are tracked and stay): a table computed under one mutant must not serve the next."""
    root = os.path.join(scratch, "data", "cache_plasma_weak")
    manifest = os.path.join(os.path.dirname(scratch), "manifest.txt")
    with open(manifest) as f:
        tracked = set(f.read().split("\n"))
    for dirpath, _, names in os.walk(root):
        for name in names:
            full = os.path.join(dirpath, name)
            if os.path.relpath(full, scratch) not in tracked:
                os.remove(full)


def run_suite(tasks, jobs, timeout_s, full, scratch, testtmp, log_dir):
    """Runs the tasks, `jobs` at a time, under one deadline. Returns (status, killers, per-task seconds)."""
    shutil.rmtree(testtmp, ignore_errors=True)  # caches start cold, as in a fresh checkout
    os.makedirs(os.path.join(testtmp, "xdg"), exist_ok=True)
    os.makedirs(log_dir, exist_ok=True)
    deadline = time.monotonic() + timeout_s
    queue, running, killers, timing = list(tasks), [], [], {}
    timed_out = False

    def stop_all():
        for p, _, log, _ in running:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except OSError:
                pass
            p.wait()
            log.close()
        running.clear()

    try:
        while queue or running:
            while queue and len(running) < jobs and (full or not killers):
                t = queue.pop(0)
                log = open(os.path.join(log_dir, f"{t.name}.log"), "w+")
                env = dict(t.env, XDG_CACHE_HOME=os.path.join(testtmp, "xdg"))
                p = subprocess.Popen(t.cmd, env=env, cwd=t.cwd, stdout=log, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, start_new_session=True)
                running.append((p, t, log, time.monotonic()))
            if not running:
                break
            time.sleep(0.1)
            for item in list(running):
                p, t, log, start = item
                rc = p.poll()
                if rc is None:
                    continue
                running.remove(item)
                timing[t.name] = time.monotonic() - start
                log.seek(0)
                output = log.read()
                log.close()
                if rc != 0:
                    killers += killers_of(t, rc, output)
            if killers and not full:
                stop_all()
                break
            if time.monotonic() > deadline:
                timed_out = True
                names = [t.name for _, t, _, _ in running]
                stop_all()
                killers.append("timeout (" + ", ".join(names) + ")")
                break
    finally:
        stop_all()  # also on an interrupt: no test process outlives the run
    if timed_out:
        return "timeout", killers, timing
    return ("killed" if killers else "survived"), killers, timing


# ---------------------------------------------------------------- shift of the defaults
def default_abundances(build, scratch, networks, use_python, timeout_s=300):
    """Yp, D/H, 3He/H, 7Li/H of the default run per network; None where the run failed. The CLI runs
    use a per-user cache folder of their own, emptied first: they compute its tables with the code
    under test, as `make run` would, so a fault in a cached table shows. The Python runs get a cache
    folder of their own."""
    cli_cache = os.path.join(os.path.dirname(build), "cli-xdg")
    if not use_python:
        clean_data_caches(scratch)  # caches of older versions: ignored by runs, removed all the same
        shutil.rmtree(cli_cache, ignore_errors=True)
    results = {}
    data = os.path.join(scratch, "data")
    for net in networks:
        with tempfile.TemporaryDirectory(dir=os.path.dirname(build)) as cache:
            try:
                if use_python:
                    code = ("import json, nuvex; r = nuvex.run(network=%r, cache_dir=%r, data_dir=%r); "
                            "print(json.dumps({'YPBBN': r.Yp, 'DoH': r.DoH, 'He3oH': r.He3oH, 'Li7oH': r.Li7oH}))"
                            % (net, cache, data))
                    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"), PYTHONDONTWRITEBYTECODE="1")
                    cmd = [PYTHON, "-c", code]
                else:
                    env = dict(os.environ, XDG_CACHE_HOME=cli_cache)
                    cmd = [os.path.join(build, "nuvex"), "--data-dir", data, "--json", "--set", f"network='{net}'"]
                out = subprocess.run(cmd, env=env, capture_output=True, timeout=timeout_s, text=True)
                doc = json.loads(out.stdout.strip().splitlines()[-1]) if out.returncode == 0 else None
                results[net] = {q: float(doc[q]) for q in QUANTITIES} if doc else None
            except (subprocess.TimeoutExpired, ValueError, KeyError, IndexError, TypeError):
                results[net] = None
    return results


def largest_shift(base, mutated):
    worst, note = 0.0, ""
    for net, vals in base.items():
        got = mutated.get(net)
        if vals is None:
            continue
        if got is None:
            return math.inf, f"{net}: run failed"
        for q in QUANTITIES:
            a, b = vals[q], got[q]
            rel = abs(b - a) / abs(a) if a else abs(b - a)
            if not math.isfinite(b):
                rel = math.inf
            if rel > worst:
                worst, note = rel, f"{net} {q}"
    return worst, note


def networks_for(mutant):
    if mutant.file.startswith(("src/network/", "src/integration/", "data/")):
        return ["small", "large"]
    return ["small"]


# ---------------------------------------------------------------- report
def fmt_shift(o):
    if o.status == "no-compile":
        return "-"
    if math.isinf(o.shift):
        return "run fails"
    if math.isnan(o.shift):
        return "?"
    return f"{o.shift:.1e}" + (f" ({o.shift_note})" if o.shift_note and o.shift > 0 else "")


def report(mutants, outcomes, full):
    done = [m for m in mutants if m.id in outcomes]
    lines = ["# Mutation testing report", "",
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {len(done)} mutants"
             + (", every killer listed" if full else ", first killing test(s) listed"), "",
             "| id | description | status | shift | killed by |", "|---|---|---|---|---|"]
    for m in done:
        o = outcomes[m.id]
        kills = "; ".join(o.killers[:4]) + (f" (+{len(o.killers) - 4})" if len(o.killers) > 4 else "")
        status = o.status + (f" (run of {o.earlier})" if o.earlier else "")
        lines.append(f"| {m.id} | {m.desc} | {status} | {fmt_shift(o)} | {kills} |")
    compiled = [m for m in done if outcomes[m.id].status != "no-compile"]
    killed = [m for m in compiled if outcomes[m.id].status in ("killed", "timeout")]
    survivors = [m for m in compiled if outcomes[m.id].status == "survived"]
    nocomp = [m for m in done if outcomes[m.id].status == "no-compile"]
    big = [m for m in survivors if not (outcomes[m.id].shift <= 1e-5)]
    rate = 100.0 * len(killed) / len(compiled) if compiled else float("nan")
    lines += ["", f"Kill rate: {len(killed)}/{len(compiled)} = {rate:.1f} % (compiled mutants)"]
    lines.append("Survivors: " + (", ".join(f"{m.id} (shift {fmt_shift(outcomes[m.id])})" for m in survivors) or "none"))
    lines.append("Survivors shifting a default abundance by more than 1e-5: "
                 + (", ".join(m.id for m in big) or "none"))
    if nocomp:
        lines.append("Did not compile (not counted): " + ", ".join(m.id for m in nocomp))
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- main
def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("select", nargs="*", help="mutant ids or regular expressions (default: all)")
    ap.add_argument("--list", action="store_true", help="validate the list, print it and stop")
    ap.add_argument("--full", action="store_true", help="run the whole suite after a kill, to list every killer")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (default 2)")
    ap.add_argument("--timeout", type=float, default=400, help="time limit of one suite run in seconds (default 400)")
    ap.add_argument("--mutants", default=DEFAULT_LIST, help="the mutant list (default tools/mutate/mutants.txt)")
    ap.add_argument("--work", default=os.path.join(ROOT, "build-mutate"), help="scratch folder (default build-mutate)")
    ap.add_argument("--skip-baseline", action="store_true", help="do not run the unmutated suite first")
    ap.add_argument("--no-shift", action="store_true", help="do not measure the shift of the default abundances")
    ap.add_argument("--keep-kills", action="store_true",
                    help="take mutants killed in an earlier run (same file and texts) from build-mutate/results.json "
                         "instead of running them again: added tests never revive a killed mutant")
    args = ap.parse_args(argv)
    # A tool started in the background inherits SIGINT ignored and would pass that on to the tests,
    # whose Ctrl-C tests then hang: give it (and so every test process) the ordinary disposition.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    try:
        mutants = select(load_list(args.mutants, ROOT), args.select)
    except ListError as e:
        print(f"mutate: invalid mutant list:\n{e}", file=sys.stderr)
        return 2
    if args.list:
        for m in mutants:
            print(f"{m.id:28s} {m.file:40s} {m.desc}")
        print(f"{len(mutants)} mutants, list valid")
        return 0

    scratch, build = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(scratch, exist_ok=True)
    print(f"mutate: syncing {scratch}: {sync(ROOT, scratch)} files changed", flush=True)
    configure(scratch, build)
    if not build_all(build, args.jobs, os.path.join(args.work, "build.log")):
        print(f"mutate: the unmutated scratch copy does not build (see {args.work}/build.log)", file=sys.stderr)
        return 2
    # the list is validated again on the scratch copy, which the mutants are applied to
    errors = validate(mutants, scratch)
    if errors:
        print("mutate: " + "\n".join(errors), file=sys.stderr)
        return 2
    gtests, pytest = discover(build)
    testtmp = os.path.join(build, "testtmp")
    logs = os.path.join(args.work, "logs")
    base = {"cli": default_abundances(build, scratch, ["small", "large"], False)}
    if not args.no_shift:
        base["python"] = default_abundances(build, scratch, ["small"], True)
        print("mutate: baseline " + json.dumps(base), flush=True)

    timings_path = os.path.join(args.work, "timings.json")
    timings = {}
    if os.path.exists(timings_path):
        with open(timings_path) as f:
            timings = json.load(f)
    if not args.skip_baseline:
        t0 = time.monotonic()
        tasks = plan(Mutant("baseline", 0, file="src/none/x"), gtests, pytest, timings)
        status, killers, timings = run_suite(tasks, args.jobs, args.timeout, True, scratch, testtmp, logs)
        print(f"mutate: unmutated suite {status} in {time.monotonic() - t0:.0f} s", flush=True)
        if status != "survived":
            print("mutate: the unmutated suite fails: " + "; ".join(killers), file=sys.stderr)
            return 2
        with open(timings_path, "w") as f:
            json.dump(timings, f, indent=1)
    results_path = os.path.join(args.work, "results.json")
    stored = load_results(results_path)
    outcomes = {}
    for i, m in enumerate(mutants, 1):
        old = stored.get(m.id)
        if args.keep_kills and old and old["key"] == mutant_key(m) and old["status"] in ("killed", "timeout"):
            outcomes[m.id] = Outcome(old["status"], old["killers"], old["shift"], old["shift_note"], old["seconds"],
                                     old["date"])
            print(f"[{i}/{len(mutants)}] {m.id}: {old['status']} in the run of {old['date']}", flush=True)
            continue
        t0 = time.monotonic()
        o = Outcome()
        print(f"[{i}/{len(mutants)}] {m.id}: {m.desc}", flush=True)
        try:
            with Applied(scratch, m):
                if not build_all(build, args.jobs, os.path.join(args.work, f"build-{m.id}.log")):
                    o.status = "no-compile"
                else:
                    py = m.file.startswith(("python/", "_wrapper/"))
                    nets = networks_for(m)
                    got = default_abundances(build, scratch, nets, False)
                    if not args.no_shift:
                        ref = base["cli"]
                        if py:
                            got, ref = default_abundances(build, scratch, ["small"], True), base["python"]
                        o.shift, o.shift_note = largest_shift({n: ref[n] for n in got}, got)
                    o.status, o.killers, _ = run_suite(plan(m, gtests, pytest, timings), args.jobs, args.timeout,
                                                       args.full, scratch, testtmp, logs)
        except KeyboardInterrupt:
            print("mutate: interrupted; the mutated file is restored", file=sys.stderr)
            break
        o.seconds = time.monotonic() - t0
        outcomes[m.id] = o
        stored[m.id] = {"key": mutant_key(m), "status": o.status, "killers": o.killers, "shift": o.shift,
                        "shift_note": o.shift_note, "seconds": o.seconds,
                        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
        save_results(results_path, stored)
        print(f"    {o.status} ({o.seconds:.0f} s), shift {fmt_shift(o)}"
              + (": " + "; ".join(o.killers[:6]) if o.killers else ""), flush=True)
    # leave the scratch build matching the working tree
    build_all(build, args.jobs, os.path.join(args.work, "build.log"))
    text = report(mutants, outcomes, args.full)
    with open(os.path.join(args.work, "report.md"), "w") as f:
        f.write(text)
    print("\n" + text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
