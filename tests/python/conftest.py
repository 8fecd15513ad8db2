# Shared fixtures of the Python suites: the data directory, one cache directory for the whole
# session (the cold tables are built once), a scratch directory and the CLI path.
# The extension module and the package are found through PYTHONPATH, which ctest points at the build tree.
import os
import pathlib
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def data_dir():
    return os.environ.get("NUVEX_DATA_DIR", str(ROOT / "data"))


@pytest.fixture(scope="session")
def cli():
    path = os.environ.get("NUVEX_CLI", str(ROOT / "build" / "nuvex"))
    if not os.path.exists(path):
        pytest.skip("nuvex CLI not built")
    return path


@pytest.fixture()
def scratch():
    base = os.environ.get("NUVEX_TEST_TMP")
    if base:
        os.makedirs(base, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=base) as d:
        yield pathlib.Path(d)


@pytest.fixture(scope="session")
def xdg_cache_home(tmp_path_factory):
    """A per-user cache root for the session: the package's default cache is <this>/nuvex."""
    return tmp_path_factory.mktemp("xdg_cache")


@pytest.fixture(scope="session")
def cache_dir(xdg_cache_home):
    path = xdg_cache_home / "nuvex"
    path.mkdir(exist_ok=True)
    return str(path)


def make_device(directory, name="full", minor=7):
    """A character device node made in a temporary folder (memory devices: minor 7 full, 3 null), so
    that tests never write to the machine's own /dev; skips the test when nodes cannot be made or
    opened there (not root, or a file system mounted nodev)."""
    import stat

    path = pathlib.Path(directory) / name
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
        os.close(os.open(path, os.O_WRONLY))
    except (PermissionError, OSError) as e:
        if path.exists():
            path.unlink()
        pytest.skip(f"cannot make a device node in {directory}: {e}")
    return path


@pytest.fixture()
def full_device(scratch):
    """A private device (character device 1,7) that refuses every write with ENOSPC."""
    return make_device(scratch, "full", 7)


@pytest.fixture()
def null_device(scratch):
    """A private device that swallows every write, like the system's /dev/null."""
    return make_device(scratch, "null", 3)


@pytest.fixture(scope="session")
def installed(tmp_path_factory):
    """The package pip-installed from a clean archive into a fresh venv (minutes: a Release build),
    shared by the install and snippet tests of one session."""
    from test_package_install import install_from_archive

    return install_from_archive(tmp_path_factory.mktemp("install"))
