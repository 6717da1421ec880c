import os
import subprocess
import sys

import pytest

import mirelo
from bounded import SECONDS
from samples import TRAIN_X, TRAIN_Y


@pytest.fixture
def make_engine():
    def make(k=3, variance=0.95):
        cfg = mirelo.KNNConfig()
        cfg.k, cfg.variance = k, variance
        return mirelo.KNNEngine(cfg)

    return make


@pytest.fixture
def trained(make_engine):
    engine = make_engine(k=1)
    engine.train(TRAIN_X, TRAIN_Y)
    return engine


@pytest.fixture
def run_child():
    """Runs code in a fresh interpreter: std::cout bypasses sys.stdout, and OpenMP reads its env at start."""

    def run(code, **env):
        args = [sys.executable, "-c", code]
        return subprocess.run(args, capture_output=True, text=True, check=True, env={**os.environ, **env},
                              timeout=SECONDS).stdout

    return run
