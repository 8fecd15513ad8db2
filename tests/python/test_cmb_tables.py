# The default CMB tables read back the way CLASS and CAMB read them (CLASS: comment lines, counts line,
# natural cubic splines along DeltaN then ombh2, DeltaN = Neff - 3.046), against direct runs.
# Runs at N_eff = 0 (no neutrino radiation in the expansion rate) belong here: the tables' lowest row.
import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
import nuvex.tables as tables  # noqa: E402

PRECISE = dict(numerical_precision=1e-9)  # the tables' tolerance; the run default scatters YHe by 8e-7


@pytest.fixture(scope="module")
def fast(cache_dir):
    return dict(show_progress=False, cache_dir=cache_dir)


@pytest.fixture(scope="module")
def solver(fast):
    return nuvex.Solver(**PRECISE, **fast)


def direct_yhe(solver, ombh2, neff):
    return solver.run(Omegabh2=ombh2, DeltaNeff=round(neff - 3.044, 10)).Yp_mass


# ---- CLASS's reader, from its documented rules ---------------------------------------------------

def natural_spline_second_derivatives(x, y):
    """Second derivatives of the natural cubic spline (zero at both ends) through (x, y[k]) for every
    column k of y, by the tridiagonal (Thomas) elimination."""
    n = len(x)
    h = np.diff(x)
    m = np.zeros_like(y)
    if n < 3:
        return m
    diag = 2.0 * (h[:-1] + h[1:])
    rhs = 6.0 * ((y[2:] - y[1:-1]) / h[1:, None] - (y[1:-1] - y[:-2]) / h[:-1, None])
    for i in range(1, n - 2):  # forward elimination of the sub-diagonal h[i]
        w = h[i] / diag[i - 1]
        diag[i] -= w * h[i]
        rhs[i] -= w * rhs[i - 1]
    m[n - 2] = rhs[-1] / diag[-1]
    for i in range(n - 3, 0, -1):
        m[i] = (rhs[i - 1] - h[i] * m[i + 1]) / diag[i - 1]
    return m


def spline_at(x, y, m, xv):
    i = min(max(int(np.searchsorted(x, xv)) - 1, 0), len(x) - 2)
    h = x[i + 1] - x[i]
    a, b = (x[i + 1] - xv) / h, (xv - x[i]) / h
    return a * y[i] + b * y[i + 1] + ((a**3 - a) * m[i] + (b**3 - b) * m[i + 1]) * h * h / 6.0


class ClassReader:
    """What CLASS does with `sBBN file` and `YHe = BBN`: lines beginning with '#' are comments; the
    first other line holds num_ombh2 num_DeltaN; then num_ombh2 * num_DeltaN lines 'ombh2 DeltaN YHe',
    ombh2 varying fastest. YHe at (omega_b, N_eff): DeltaN = N_eff - subtract; a natural cubic spline
    along DeltaN for every ombh2, then one along ombh2 through those values. A point outside the table
    is refused ("unrealistic small value of Delta N_eff")."""

    def __init__(self, path, subtract=3.046):
        with open(path) as f:
            data = [line for line in f if not line.startswith("#") and line.strip()]
        n_ob, n_dn = (int(v) for v in data[0].split())
        rows = np.array([[float(v) for v in line.split()[:3]] for line in data[1:1 + n_ob * n_dn]])
        assert rows.shape == (n_ob * n_dn, 3)
        grid = rows.reshape(n_dn, n_ob, 3)
        self.ombh2, self.DeltaN, self.yhe = grid[0, :, 0], grid[:, 0, 1], grid[:, :, 2]
        assert np.all(grid[:, :, 0] == self.ombh2) and np.all(grid[:, :, 1] == self.DeltaN[:, None])
        self.subtract = subtract
        self.m_dn = natural_spline_second_derivatives(self.DeltaN, self.yhe)

    def __call__(self, ombh2, neff):
        dn = neff - self.subtract
        if dn < self.DeltaN[0] or dn > self.DeltaN[-1]:
            raise ValueError(f"unrealistic value of Delta N_eff = {dn:g}")
        if ombh2 < self.ombh2[0] or ombh2 > self.ombh2[-1]:
            raise ValueError(f"omega_b = {ombh2:g} out of the table")
        along_ob = np.array([spline_at(self.DeltaN, self.yhe[:, i], self.m_dn[:, i], dn)
                             for i in range(len(self.ombh2))])
        m = natural_spline_second_derivatives(self.ombh2, along_ob[:, None])[:, 0]
        return spline_at(self.ombh2, along_ob, m, ombh2)


def test_the_reader_reproduces_a_cubic_and_its_natural_ends():
    # a natural spline is exact for a straight line and, through a cubic, errs only near the ends
    x = np.array([0.0, 0.5, 1.2, 2.0, 3.1, 4.0])
    m = natural_spline_second_derivatives(x, (3 - 2 * x)[:, None])
    assert np.abs(m).max() < 1e-12
    assert spline_at(x, 3 - 2 * x, m[:, 0], 2.7) == pytest.approx(3 - 5.4, abs=1e-12)
    fine = np.linspace(0, 40, 401)
    y = fine**3
    m = natural_spline_second_derivatives(fine, y[:, None])[:, 0]
    assert spline_at(fine, y, m, 20.05) == pytest.approx(20.05**3, rel=1e-9)
    assert m[0] == 0 and m[-1] == 0


# ---- the default CLASS table against direct runs -------------------------------------------------

@pytest.fixture(scope="module")
def class_table(tmp_path_factory, fast):
    path = tmp_path_factory.mktemp("cmb") / "sBBN_nuvex.dat"
    tables.write_class(path, jobs=2, progress=False, **fast)
    return path


def test_class_reads_direct_yhe_to_1e6_over_the_range_cosmologists_use(class_table, solver):
    read = ClassReader(class_table)
    assert read.DeltaN[0] == -3.046  # N_ur = 0 in CLASS asks for exactly this row
    rng = np.random.default_rng(30)
    inside = list(zip(rng.uniform(0.005, 0.040, 30), rng.uniform(0.0, 12.0, 30)))
    # the edges, where natural splines err most: N_eff = 0 (N_ur = 0), 0.046 (N_ur = 0.046), 12, and
    # ombh2 = 0.005, 0.0055, 0.040 (a table ending at 0.005 erred by 1e-4 at 0.0055)
    edges = [(o, n) for o in (0.005, 0.0055, 0.0224, 0.040) for n in (0.0, 0.01, 0.046, 0.3, 3.044, 11.9, 12.0)]
    err_in = [read(o, n) - direct_yhe(solver, o, n) for o, n in inside]
    err_edge = [read(o, n) - direct_yhe(solver, o, n) for o, n in edges]
    # measured: 1.4e-7 inside and 2.0e-7 at the edges (the tables' spacing was chosen for this)
    assert np.abs(err_in).max() < 1e-6, max(zip(np.abs(err_in), inside))
    assert np.abs(err_edge).max() < 1e-6, max(zip(np.abs(err_edge), edges))


def test_the_subtracted_neff_must_be_the_readers(class_table, solver):
    # The default table read by a reader that subtracts 3.044 instead of 3.046 looks up N_eff + 0.002.
    truth = direct_yhe(solver, 0.02242, 3.044)
    assert ClassReader(class_table)(0.02242, 3.044) == pytest.approx(truth, abs=3e-7)
    assert 2.3e-5 < ClassReader(class_table, subtract=3.044)(0.02242, 3.044) - truth < 3.0e-5


def test_a_table_for_readers_subtracting_3044(tmp_path, solver, fast):
    path = tmp_path / "sBBN_3044.dat"
    ob, dn = [0.018, 0.020, 0.022, 0.024, 0.026], [-0.5, 0.0, 0.5]
    tables.write_class(path, ob, dn, neff_reference=3.044, jobs=1, progress=False, **fast)
    read = ClassReader(path, subtract=3.044)
    assert read.DeltaN.tolist() == dn
    for o in ob:  # at the rows the table holds the runs themselves
        assert read(o, 3.044) == pytest.approx(direct_yhe(solver, o, 3.044), abs=1e-10)
    header = path.read_text()
    assert "DeltaN = N_eff - 3.044" in header and "DeltaNeff = DeltaN\n" in header
    # CLASS v3.3.4 (subtracting 3.046) on such a table looks up N_eff - 0.002: YHe 2.7e-5 low at
    # Planck's omega_b, which flips the printed fourth decimal
    truth = direct_yhe(solver, 0.02242, 3.044)
    right, as_class = read(0.02242, 3.044), ClassReader(path)(0.02242, 3.044)
    assert right == pytest.approx(truth, abs=1e-6)
    assert 2.3e-5 < truth - as_class < 3.0e-5
    assert f"{truth:.4f}" == "0.2456" and f"{as_class:.4f}" == "0.2455"


# ---- N_eff = 0: no neutrino radiation in the expansion rate ---------------------------------------

def test_runs_at_neff_zero_succeed_on_the_smooth_curve(solver, fast):
    standard = solver.run(Omegabh2=0.02242)
    for o in (0.005, 0.02242, 0.040):
        r0 = solver.run(Omegabh2=o, DeltaNeff=-3.044)
        # N_eff is additive: the computed three-flavour 3.04394 less 3.044, a few 1e-5 below zero
        assert r0.Neff == pytest.approx(standard.Neff - 3.044, abs=1e-9)
        assert -1e-4 < r0.Neff < 0
        # YHe at N_eff = 0 continues the curve through N_eff = 0.025 .. 0.1 (cubic extrapolation: 3e-8)
        ns = [0.025, 0.05, 0.075, 0.1]
        fit = np.polyfit(ns, [direct_yhe(solver, o, n) for n in ns], 3)
        assert r0.Yp_mass == pytest.approx(np.polyval(fit, 0.0), abs=3e-7)
        assert 0.17 < r0.Yp_mass < 0.20  # slower expansion: fewer neutrons survive
    # instantaneous decoupling: the three flavours give 3.0096 (QED included), so N_eff = 0 asked
    # leaves -0.034, still a result and not a tolerance complaint (thermal corrections off: their
    # tables for this history would take minutes to build)
    inst = dict(incomplete_decoupling=False, spectral_distortions=False, thermal_corrections=False, **fast)
    zero, ref = nuvex.run(DeltaNeff=-3.044, **inst), nuvex.run(**inst)
    assert zero.Neff == pytest.approx(ref.Neff - 3.044, abs=1e-9) and zero.Neff < -0.03


# ---- CAMB's reader: named columns, bicubic spline in (ombh2, DeltaN), DeltaN = N_eff - 3.044 ------

def test_camb_table_interpolates_to_direct_runs(tmp_path, solver, fast):
    interpolate = pytest.importorskip("scipy.interpolate")
    path = tmp_path / "nuvex_camb.dat"
    ob = np.round(np.arange(0.014, 0.0305, 0.001), 6)
    tables.write_camb(path, ob, jobs=2, progress=False, **fast)
    header = [line[1:].split() for line in path.read_text().splitlines() if line.startswith("#")]
    columns = header[-1]
    data = np.loadtxt(path)
    col = {c: data[:, i] for i, c in enumerate(columns)}
    obs, dns = np.unique(col["ombh2"]), np.unique(col["DeltaN"])
    assert dns[0] == -3.044 and len(obs) * len(dns) == len(data)
    grid = {c: col[c].reshape(len(dns), len(obs)).T for c in ("Yp", "D/H")}
    yp = interpolate.RectBivariateSpline(obs, dns, grid["Yp"])
    dh = interpolate.RectBivariateSpline(obs, dns, grid["D/H"])
    rng = np.random.default_rng(44)
    for o, n in list(zip(rng.uniform(0.018, 0.027, 12), rng.uniform(0.0, 12.0, 12))) + [(0.02242, 0.0)]:
        r = solver.run(Omegabh2=o, DeltaNeff=round(n - 3.044, 10))
        assert yp(o, n - 3.044)[0, 0] == pytest.approx(r.Yp_mass, abs=1e-6)
        assert dh(o, n - 3.044)[0, 0] == pytest.approx(r.DoH, rel=1e-4)
