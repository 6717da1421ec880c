"""The sdist, the wheel built from it, and that wheel installed into a bare environment."""

import os
import site
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from bounded import SECONDS


DIST_DIR = os.environ.get("MIRELO_DIST_DIR")

# Building the distributions takes over a minute, so a quick pytest run leaves them out.
pytestmark = [
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitizer run tests its own build, not the distributions"),
    pytest.mark.skipif(not DIST_DIR, reason="checks the sdist and wheel that scripts/run-tests.sh builds; "
                                            "set MIRELO_DIST_DIR to a directory holding both"),
]


@pytest.fixture(scope="module")
def dists():
    """(sdist, wheel), built once for the whole run by scripts/run-tests.sh."""
    (sdist,), (wheel,) = Path(DIST_DIR).glob("*.tar.gz"), Path(DIST_DIR).glob("*.whl")
    return sdist, wheel


def test_distributions_hold_the_stubs_and_the_estimator(dists):
    sdist, wheel = dists
    in_wheel = zipfile.ZipFile(wheel).namelist()
    estimator = {f"mirelo_sklearn/{name}" for name in ("__init__.py", "_classifier.py", "_native.pyi", "py.typed")}
    estimator |= {f"mirelo_dask/{name}" for name in ("__init__.py", "_cache.py", "_sharded.py", "py.typed")}
    assert {"mirelo-stubs/__init__.pyi", *estimator} <= set(in_wheel)
    for module in ("mirelo.", "mirelo_sklearn/_native."):
        assert [name for name in in_wheel if name.startswith(module) and name.endswith(".so")]
    with tarfile.open(sdist) as archive:
        in_sdist = {name.split("/", 1)[-1] for name in archive.getnames()}
    assert {"python/mirelo-stubs/__init__.pyi", *(f"python/{name}" for name in estimator),
            "bindings/sklearn_native_module.cpp", "CMakeLists.txt"} <= in_sdist
    # A local build tree must stay out: stale objects, and links into a virtual environment.
    assert not [name for name in in_sdist if name.startswith("build/")]


def make_venv(tmp_path, *options):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", *options, str(venv)], check=True, timeout=SECONDS)
    return str(venv / "bin" / "python")


def test_wheel_works_without_scikit_learn(dists, tmp_path):
    python = make_venv(tmp_path)
    subprocess.run([python, "-m", "pip", "install", "--quiet", str(dists[1])], check=True, timeout=SECONDS)
    code = ("import importlib.util, numpy, mirelo\n"
            "config = mirelo.KNNConfig(); config.k = 1; engine = mirelo.KNNEngine(config)\n"
            "engine.train(numpy.eye(3), ['a', 'b', 'c'])\n"
            "print(engine.predict(numpy.eye(3)[1]), importlib.util.find_spec('sklearn'))\n"
            "for name in ('mirelo_sklearn', 'mirelo_dask'):\n"
            "    try:\n        __import__(name)\n    except ImportError as error:\n        print(error)\n")
    result = subprocess.run([python, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True,
                            timeout=SECONDS)
    assert result.stdout.splitlines()[-3:] == [
        "b None", 'mirelo_sklearn needs scikit-learn: pip install "scikit-learn>=1.6" (or, in mirelo\'s checkout, '
        'pip install ".[sklearn]")', 'mirelo_dask needs Dask: pip install "dask[distributed,dataframe]>=2024.8" (or, '
        'in mirelo\'s checkout, pip install ".[dask]")']


def test_wheel_finds_lapack_left_in_the_base_interpreter(dists, tmp_path):
    # pip does not copy a dependency the base interpreter already has into a venv that sees it.
    if not any((Path(d) / "scipy_openblas32").is_dir() for d in site.getsitepackages([sys.base_prefix])):
        pytest.skip("the base interpreter has no scipy-openblas32 to share")
    python = make_venv(tmp_path, "--system-site-packages")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--ignore-installed", str(dists[1])],
                   check=True, timeout=SECONDS)
    code = ("import ctypes, glob, os, numpy, mirelo\n"
            "config = mirelo.KNNConfig(); config.k = 1; engine = mirelo.KNNEngine(config)\n"
            "engine.train(numpy.eye(3), ['a', 'b', 'c'])\n"
            "native, = glob.glob(os.path.join(os.path.dirname(mirelo.__file__), 'mirelo_sklearn', '_native.*.so'))\n"
            "ctypes.CDLL(native)\n"
            "print(engine.predict(numpy.eye(3)[1]), mirelo.__file__.startswith(os.environ['VIRTUAL_ENV']))\n")
    result = subprocess.run([python, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=SECONDS,
                            env={**os.environ, "VIRTUAL_ENV": str(tmp_path / "venv")})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "b True"
