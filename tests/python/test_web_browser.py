# The web calculator in headless Chromium (python3-selenium, chromedriver): the page loads without
# console errors, draws both plots, shows what nuvex.run gives, restores a permalink and names errors.
import csv
import io
import json
import os
import pathlib
import shutil
import time
import urllib.request

import pytest

import nuvex

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def _missing():
    missing = [name for name, ok in (("chromium", BROWSER), ("chromedriver", DRIVER)) if not ok]
    for module in ("selenium", "flask", "plotly"):
        try:
            __import__(module)
        except ImportError:
            missing.append(f"python3-{module}")
    return missing


if _missing():
    reason = f"browser tests need {', '.join(_missing())} (Debian packages, installed by scripts/bootstrap)"
    if os.environ.get("CI") == "true":  # CI installs them: a skip there would hide a broken set-up
        raise RuntimeError(reason)
    pytest.skip(reason, allow_module_level=True)

from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service as DriverService  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

from nuvex.web import Server  # noqa: E402

WAIT_S = 180  # generous: the machine running the suite may be busy


@pytest.fixture(scope="module")
def artifacts(tmp_path_factory):
    build = os.environ.get("NUVEX_BUILD_DIR")
    path = pathlib.Path(build) / "test-artifacts" if build else tmp_path_factory.mktemp("artifacts")
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture(scope="module")
def server(data_dir, cache_dir):
    # on loopback, on a free port; a small Schramm grid keeps the first paint short on a busy machine
    with Server("127.0.0.1", 0, data_dir=data_dir, cache_dir=cache_dir, workers=2, schramm_points=8,
                schramm_samples=10) as srv:
        srv.start()
        yield srv


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    home = tmp_path_factory.mktemp("chromium-home")
    opts = Options()
    opts.binary_location = BROWSER
    # the machine's network is closed: no background connections, no first-run or sync services
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--disable-crash-reporter", "--window-size=1400,1100",
                f"--user-data-dir={home / 'profile'}"):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # the browser's own home; no sanitizer runtime of the suite preloaded into the browser
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / "config"), XDG_CACHE_HOME=str(home / "cache"))
    driver = webdriver.Chrome(service=DriverService(DRIVER, env=env), options=opts)
    driver.set_page_load_timeout(WAIT_S)
    driver.set_script_timeout(WAIT_S)
    try:
        yield driver
    finally:
        driver.quit()


def wait_for(driver, script, timeout=WAIT_S):
    """Polls a JavaScript expression until it is truthy; returns its value."""
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script("return " + script)
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {script}")
        time.sleep(0.05)


def shown(driver, name):
    """The exact number behind a result cell (its text is rounded for reading)."""
    text = driver.find_element(By.ID, f"val-{name}").get_attribute("data-value")
    return float(text) if text else None


def wait_for_value(driver, name, want):
    deadline = time.monotonic() + WAIT_S
    while shown(driver, name) != want:
        if time.monotonic() > deadline:
            raise AssertionError(f"{name} shows {shown(driver, name)!r}, not {want!r}")
        time.sleep(0.05)


def reference(cache_dir, data_dir, **params):
    return nuvex.run(cache_dir=cache_dir, data_dir=data_dir, show_progress=False, **params)


def open_page(driver, url):
    driver.get(url)
    wait_for(driver, "document.getElementById('val-DoH') && window.nuvexTimings.updates >= 1")


def retype(driver, field, text):
    element = driver.find_element(By.ID, field)
    element.clear()
    element.send_keys(text + Keys.ENTER)


def test_page_loads_and_draws_without_console_errors(browser, server, artifacts, cache_dir, data_dir):
    open_page(browser, server.url)
    wait_for(browser, "document.getElementById('schramm').dataset.drawn === 'bands' && "
                      "document.getElementById('evolution').dataset.drawn === 'lines'")
    ref = reference(cache_dir, data_dir)
    assert shown(browser, "DoH") == ref.DoH
    assert shown(browser, "Yp") == ref.Yp and shown(browser, "Neff") == ref.Neff
    assert float(browser.find_element(By.ID, "val-DoH").text) == pytest.approx(ref.DoH, rel=1e-5)
    # both plots hold data and drew it: line paths in the SVG, bands filled between their edges
    drawn = browser.execute_script("""
        const count = (id) => Array.from(document.querySelectorAll('#' + id + ' .scatterlayer path.js-line'))
            .filter((p) => (p.getAttribute('d') || '').length > 20).length;
        const s = document.getElementById('schramm'), e = document.getElementById('evolution');
        return {schrammLines: count('schramm'), evolutionLines: count('evolution'),
                bands: s.data.filter((t) => t.fill === 'tonexty').length,
                central: s.data.filter((t) => t.name === 'DoH')[0].y,
                shapes: s.layout.shapes.length, nuclides: e.data.map((t) => t.name)};""")
    assert drawn["schrammLines"] >= 4 and drawn["evolutionLines"] >= 6
    assert drawn["bands"] == 4
    assert all(isinstance(v, float) and v > 0 for v in drawn["central"])
    assert drawn["shapes"] >= 3  # the current-value line and the observations' bands
    assert {"D", "⁴He", "⁷Be"} <= set(drawn["nuclides"])
    shot = artifacts / "web-calculator.png"
    assert browser.save_screenshot(str(shot)) and shot.stat().st_size > 20_000
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []


def test_moving_the_baryon_density_shows_what_nuvex_run_gives(browser, server, cache_dir, data_dir):
    open_page(browser, server.url)
    wait_for(browser, "document.getElementById('schramm').dataset.drawn")
    browser.execute_script("const s = document.getElementById('Omegabh2-slider'); s.value = '400';"
                           "s.dispatchEvent(new Event('input'));")
    Omegabh2 = float(wait_for(browser, "document.getElementById('Omegabh2').value !== '0.02242' && "
                                       "document.getElementById('Omegabh2').value"))
    assert Omegabh2 == pytest.approx(0.004 * 10**0.4, rel=1e-5)  # 40 % along the logarithmic slider 0.004-0.04
    wait_for_value(browser, "DoH", reference(cache_dir, data_dir, Omegabh2=Omegabh2).DoH)
    assert browser.execute_script("return document.getElementById('schramm').layout.shapes[0].x0") == Omegabh2
    retype(browser, "Omegabh2", "0.0195")
    wait_for_value(browser, "DoH", reference(cache_dir, data_dir, Omegabh2=0.0195).DoH)
    assert float(browser.find_element(By.ID, "eta10").get_attribute("value")) == pytest.approx(
        nuvex.eta10(0.0195), rel=1e-5)


def test_permalink_restores_the_inputs(browser, server, cache_dir, data_dir):
    open_page(browser, server.url)
    retype(browser, "DeltaNeff", "0.5")
    browser.find_element(By.CSS_SELECTOR, "#network option[value=large]").click()
    browser.find_element(By.CSS_SELECTOR, "#rate_set option[value=primat]").click()
    browser.find_element(By.CSS_SELECTOR, "#reaction-list option[value=d_p__He3_g]").click()
    browser.find_element(By.ID, "add-rate").click()
    params = dict(DeltaNeff=0.5, network="large", rate_set="primat", delta_d_p__He3_g=0.1)
    want = reference(cache_dir, data_dir, **params)
    wait_for_value(browser, "DoH", want.DoH)
    link = browser.find_element(By.ID, "permalink").get_attribute("href")
    csv_link = browser.find_element(By.ID, "dl-csv").get_attribute("href")

    browser.get("about:blank")
    open_page(browser, link)
    assert browser.find_element(By.ID, "DeltaNeff").get_attribute("value") == "0.5"
    assert browser.find_element(By.ID, "network").get_attribute("value") == "large"
    assert browser.find_element(By.ID, "rate_set").get_attribute("value") == "primat"
    assert browser.find_element(By.ID, "delta_d_p__He3_g").get_attribute("value") == "0.1"
    assert browser.find_element(By.ID, "Omegabh2").get_attribute("value") == "0.02242"
    wait_for_value(browser, "DoH", want.DoH)
    assert shown(browser, "Li6oLi7") == want.Li6oLi7  # a large-network quantity

    # the download link gives the same numbers
    with urllib.request.urlopen(csv_link, timeout=WAIT_S) as r:
        rows = list(csv.DictReader(io.StringIO(r.read().decode())))
    assert {r["name"]: float(r["value"]) for r in rows if r["kind"] == "quantity"}["DoH"] == want.DoH


def test_an_invalid_entry_shows_the_message_next_to_its_field(browser, server, cache_dir, data_dir):
    open_page(browser, server.url)
    for text, value in (("-5", -5.0), ("abc", "abc")):
        with pytest.raises((ValueError, TypeError)) as refused:
            reference(cache_dir, data_dir, tau_n=value)
        retype(browser, "tau_n", text)
        wait_for(browser, f"document.getElementById('msg-tau_n').textContent === {json.dumps(str(refused.value))}")
        assert "invalid" in browser.find_element(By.ID, "field-tau_n").get_attribute("class")
        assert "stale" in browser.find_element(By.ID, "results").get_attribute("class")
        assert browser.find_element(By.ID, "msg-general").text == ""
    retype(browser, "tau_n", "880")
    wait_for_value(browser, "DoH", reference(cache_dir, data_dir, tau_n=880.0).DoH)
    assert browser.find_element(By.ID, "msg-tau_n").text == ""
    assert "invalid" not in browser.find_element(By.ID, "field-tau_n").get_attribute("class")
