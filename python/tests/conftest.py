"""The whole session shares one simulated card, since the simulated machine boots once
per process: four `count` channels, two dc inputs, both analog outputs looped back and
the digital inputs following the outputs, at ten times real time."""

import os
import sys
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PYTHON_DIR))

import tavlon  # noqa: E402

SIM = "ch0=count;ch1=count;ch2=count;ch3=count;ch4=dc:1.25;ch5=dc:-2.5;ch6=ao0;ch7=ao1;di=loop;speed=10"


@pytest.fixture(scope="session")
def device():
    with tavlon.Device(sim=SIM) as dev:
        yield dev


def run_python(code: str, env_extra=None):
    """Runs `code` in a fresh interpreter that imports the package from this tree."""
    import subprocess
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=120)
