# SPDX-License-Identifier: MIT
"""What the image check's tests take from the build (tests/CMakeLists.txt)."""
import pytest


def pytest_addoption(parser):
    parser.addoption("--checker", required=True, help="updater-check-image")
    parser.addoption("--font", required=True, help="a TrueType font for the fixture images")
    parser.addoption("--work", required=True, help="where the fixture images are made")


@pytest.fixture(scope="session")
def options(pytestconfig):
    return {k: pytestconfig.getoption(k) for k in ("checker", "font", "work")}
