# SPDX-License-Identifier: MIT
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import bitbake  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--source", default=str(pathlib.Path(__file__).resolve().parents[2]),
                     help="the project's checkout (default: the one holding these tests)")
    parser.addoption("--work", default=None, help="folder for the cross builds of the install check")
    parser.addoption("--yocto-check-layer", action="store_true",
                     help="also run the whole yocto-check-layer (minutes: see test_yocto_check_layer)")


@pytest.fixture(scope="session")
def source(request):
    return pathlib.Path(request.config.getoption("--source")).resolve()


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
    try:
        b = bitbake.Build(source)
        b.prepare()
    except bitbake.CannotRun as e:
        pytest.fail(f"the Yocto checks cannot run: {e}", pytrace=False)
    b.parse_output = b.run("bitbake", "-p")
    yield b
    b.release_lock()


@pytest.fixture(scope="session")
def env(build):
    """`bitbake -e orvane-updater` of the layer as committed."""
    return build.environment()
