# SPDX-License-Identifier: MIT
import pathlib
import sys
import time

import pytest

# No byte code written into the checkout.
sys.dont_write_bytecode = True
sys.path.insert(0, str(pathlib.Path(__file__).parent))
import bitbake  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--source", default=str(pathlib.Path(__file__).resolve().parents[2]),
                     help="the project's checkout (default: the one holding these tests)")
    parser.addoption("--work", default=None, help="folder for the cross builds of the install check")
    parser.addoption("--check-image", default=None, help="the host build's updater-check-image")
    parser.addoption("--yocto-check-layer", action="store_true",
                     help="also run the whole yocto-check-layer (minutes: see test_yocto_check_layer)")


_timings = []


def pytest_terminal_summary(terminalreporter):
    if _timings:
        terminalreporter.write_line("yocto: " + ", ".join(_timings))


@pytest.fixture(scope="session")
def source(request):
    return pathlib.Path(request.config.getoption("--source")).resolve()


@pytest.fixture(scope="session")
def check_image(request):
    return request.config.getoption("--check-image")


@pytest.fixture(scope="session")
def work(request, tmp_path_factory):
    given = request.config.getoption("--work")
    if given:
        path = pathlib.Path(given).resolve()
        path.mkdir(parents=True, exist_ok=True)
        return path
    return tmp_path_factory.mktemp("yocto")


@pytest.fixture(scope="session")
def build(source):
    """The bitbake build folder with the layer added, parsed once."""
    started = time.monotonic()
    reason = None
    try:
        b = bitbake.Build(source)
        b.prepare()
    except bitbake.CannotRun as e:
        reason = str(e)
    if reason:
        pytest.fail(f"the Yocto checks cannot run: {reason}", pytrace=False)
    _timings.append(f"set-up (lock, unpack, locale, layer copy) {time.monotonic() - started:.1f} s")
    b.parse_output = b.run("bitbake", "-p")
    if b.parse_output[0] != 0:
        b.broken = bitbake.tail(b.parse_output[1])
    _timings.append(f"bitbake -p {b.parse_output[2]:.1f} s")
    yield b
    b.release_lock()


@pytest.fixture(scope="session")
def env(build):
    """`bitbake -e orvane-updater` of the layer as committed."""
    return build.environment()


@pytest.fixture(scope="session")
def systemd_env(build):
    """The same for a systemd image: a build folder of its own, whose parse
    stays in the cache beside the first."""
    builddir = build.root / "build-systemd"
    build.write_conf(builddir, extra='INIT_MANAGER = "systemd"\n')
    started = time.monotonic()
    env = build.environment(builddir=builddir)
    _timings.append(f"bitbake -e with INIT_MANAGER = systemd {time.monotonic() - started:.1f} s")
    return env
