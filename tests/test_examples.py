import importlib.util
import math
import os
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def load_tune():
    spec = importlib.util.spec_from_file_location("tune", EXAMPLES / "tune.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


tune = load_tune()


def run_example(cwd, name, *args):
    """Runs examples/<name> from `cwd` and demands that it succeeds."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        cwd=cwd,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
        capture_output=True,
        encoding="utf-8",
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def test_demo_runs_from_anywhere_and_tells_the_story(tmp_path):
    result = run_example(tmp_path, "demo.py")
    lines = result.stdout.splitlines()
    expected = [
        "enrolled a 512-d float32 template: 1024 lockers",
        "key released, sealed 512-d template opened",
        "no match",
        "[WARNING orvex.limiter] SOFT LIMIT: 10.0.0.7 at 3/3 events/window",
        "[WARNING orvex.limiter] HARD LIMIT: 10.0.0.7 exceeded 5 events/window \u2014 suspended",
        "suspend callback: 10.0.0.7 locked out",
        'limiter: "Rate limit exceeded (5/5). Suspended."',
        "refused, 10.0.0.7 is suspended",
        "[INFO orvex.limiter] Reinstated: 10.0.0.7",
        "done: genuine accepted, impostor rejected and throttled",
    ]
    # In this order: each expected text on a later line than the one before.
    position = 0
    for text in expected:
        found = [i for i in range(position, len(lines)) if text in lines[i]]
        assert found, f"{text!r} not after line {position} of:\n{result.stdout}"
        position = found[0] + 1
    assert result.stderr == ""


@pytest.mark.parametrize(
    "n_lockers, prob_thresh",
    [(10, 0.2), (10, 0.3), (1024, 0.2), (1024, 0.08), (3, 1 / 3), (7, 0.0), (7, 1.0), (100, 0.07)],
)
def test_votes_needed_is_the_least_count_reaching_the_threshold(n_lockers, prob_thresh):
    # The extractor compares count / n_lockers with the threshold as floats, so
    # ceil(prob_thresh * n_lockers) can be one too many (0.3 * 10 > 3).
    needed = tune.votes_needed(n_lockers, prob_thresh)
    assert needed / n_lockers >= prob_thresh
    assert needed == 1 or (needed - 1) / n_lockers < prob_thresh


def exact_tail(n, q, m):
    q = Fraction(q)
    return sum(math.comb(n, j) * q**j * (1 - q) ** (n - j) for j in range(m, n + 1))


@pytest.mark.parametrize(
    "n, q, m",
    [
        (20, 0.3, 6),  # around the mean: the lower-tail branch
        (20, 0.3, 7),
        (60, 0.01, 40),  # far out in the tail, below what doubles hold unscaled
        (200, 0.5, 180),
        (200, 0.9, 150),
        (30, 0.5, 0),
        (30, 0.5, 31),
        (30, 0.0, 1),
        (30, 1.0, 30),
    ],
)
def test_binomial_tail_matches_exact_arithmetic(n, q, m):
    exact = exact_tail(n, q, m)
    got = tune.log_binomial_tail(n, q, m)
    if exact == 0:
        assert got == -math.inf
    else:
        assert got == pytest.approx(math.log(exact), rel=1e-9, abs=1e-12)


def test_shared_probe_model_predicts_the_real_extractor():
    # Few features make the lockers' shared probe matter: the binomial
    # approximation says 0.90 here, the shared-probe model 0.58.
    params = tune.Params(64, 4, 0.25)
    predicted = math.exp(tune.log_unlock_shared(params, 0.25, n_features=16))
    assert math.exp(tune.log_unlock_binomial(params, 0.25)) > predicted + 0.25
    trials = 400
    [measured] = tune.measure(params, [0.25], trials, np.random.default_rng(3), n_features=16)
    assert measured == pytest.approx(predicted, abs=5 * math.sqrt(0.25 / trials))


def test_shared_limiter_example_suspends_once_for_both_workers(redis_server, tmp_path):
    result = run_example(tmp_path, "shared_limiter.py", redis_server.url)
    lines = result.stdout.splitlines()
    assert sum('"OK (' in line for line in lines) == 5
    assert sum(line.endswith('"Rate limit exceeded (5/5). Suspended."') for line in lines) == 1
    assert sum("suspend callback: 10.0.0.7 locked out" in line for line in lines) == 1
    # Both workers refuse the device once it is suspended.
    refused = {line.split(":")[0] for line in lines if line.endswith('"Suspended"')}
    assert refused == {"worker 1", "worker 2"}
    assert lines[-3:] == ["suspended keys: ['10.0.0.7']",
                          "[INFO orvex.redis_limiter] Reinstated: 10.0.0.7",
                          "after reinstatement: OK (1/5)"]
    assert result.stderr == ""


def test_synthetic_set_gets_a_recommendation(tmp_path):
    made = subprocess.run(
        [sys.executable, str(EXAMPLES / "synthetic_embeddings.py"), str(tmp_path / "set"),
         "--people", "40", "--samples", "4"],
        cwd=tmp_path, capture_output=True, encoding="utf-8", timeout=120,
    )
    assert made.returncode == 0, made.stderr
    assert "wrote 160 embeddings of 512 values for 40 people" in made.stdout
    result = subprocess.run(
        [sys.executable, "-m", "orvex.evaluate", str(tmp_path / "set" / "embeddings.npy"),
         str(tmp_path / "set" / "labels.npy"), "--trials", "200", "--budget", "3e6",
         "--max-lockers", "4096", "--quiet"],
        cwd=tmp_path, capture_output=True, encoding="utf-8", timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert "Recommended for single-sample enrolment." in result.stdout
    found = re.search(r"n_lockers=(\d+), locker_size=(\d+), prob_thresh=([0-9.e-]+)", result.stdout)
    assert found, result.stdout
    n_lockers, locker_size, prob_thresh = int(found[1]), int(found[2]), float(found[3])
    assert locker_size >= 32 and n_lockers <= 4096 and 0 < prob_thresh < 1
