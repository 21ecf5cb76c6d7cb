import json
import subprocess
import sys

import numpy as np
import pytest

from orvex.evaluate import InputError, load_embeddings, load_labels

FAST = ["--trials", "200", "--model-pairs", "2000", "--max-lockers", "2048", "--budget", "2e6",
        "--min-work-bits", "16", "--workers", "2"]


def run(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", "orvex.evaluate", *map(str, args)],
        cwd=tmp_path, capture_output=True, encoding="utf-8", timeout=300,
    )


@pytest.fixture
def small_set(tmp_path):
    """30 people, 4 samples each, 128 features off centre; embeddings in .npz, labels in .csv."""
    rng = np.random.default_rng(5)
    centres = rng.standard_normal((30, 128)) + 0.4
    labels = np.repeat(np.arange(30), 4)
    flips = rng.random((120, 128)) < 0.05
    embeddings = np.where(flips, -centres[labels], centres[labels]).astype(np.float32)
    np.savez(tmp_path / "set.npz", embeddings=embeddings, other=np.zeros(3))
    (tmp_path / "labels.csv").write_text("person\n" + "\n".join(map(str, labels)) + "\n")
    return tmp_path / "set.npz", tmp_path / "labels.csv"


def test_text_report_end_to_end(tmp_path, small_set):
    result = run(tmp_path, *small_set, *FAST, "--centre", "--save-centre", tmp_path / "centre.npy")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for text in ("The bits", "Closest impostor pair", "Centred here", "applied identically before lock_secret",
                 "Measured: 1024 lockers of 8 bits", "Wilson 95 %", "Recommendation", "FuzzyExtractor(n_lockers="):
        assert text in out, text
    assert "200 genuine" not in out and "100 genuine and 100 impostor trials" in out
    assert "/100" in result.stderr  # the progress bar
    centre = np.load(tmp_path / "centre.npy")
    with np.load(small_set[0]) as archive:
        assert np.allclose(centre, archive["embeddings"].astype(np.float64).mean(axis=0))


def test_uncentred_data_is_pointed_out(tmp_path, small_set):
    result = run(tmp_path, *small_set, *FAST, "--quiet")
    assert result.returncode == 0, result.stderr
    assert "The data is not centred" in result.stdout and "--centre" in result.stdout
    assert result.stderr == ""


def test_json_end_to_end(tmp_path, small_set):
    result = run(tmp_path, *small_set, *FAST, "--quiet", "--json", "--fuse", "2", "--measure", "64x12")
    assert result.returncode == 0, result.stderr
    data = json.loads(result.stdout)
    assert data["n_samples"] == 120 and data["n_features"] == 128 and data["n_identities"] == 30
    assert [p["fuse"] for p in data["protocols"]] == [2, 1]
    fused = data["protocols"][0]
    assert {(m["n_lockers"], m["locker_size"]) for m in fused["measured"]} >= {(1024, 8), (64, 12)}
    rec = fused["recommendation"]
    assert data["recommendation"] == rec
    if rec["candidate"] is not None:
        c = rec["candidate"]
        assert c["locker_size"] >= 16 and c["prob_thresh"] == c["votes_needed"] / c["n_lockers"]
        assert rec["measured"]["n_lockers"] == c["n_lockers"]
    point = fused["measured"][0]["points"][0]
    for key in ("rate", "low", "high", "predicted", "predicted_low", "predicted_high", "agrees"):
        assert key in point["far"] and key in point["frr"]
    assert data["bits"]["bias"]["centred"] is False


@pytest.mark.parametrize(
    "files, message",
    [
        ({"e.npy": np.zeros(5), "l.npy": np.arange(5)}, "(N, d) array"),
        ({"e.npy": np.ones((3, 2)), "l.npy": np.zeros(3, dtype=int)}, "at least two are needed"),
        ({"e.npy": np.full((3, 2), np.nan), "l.npy": np.arange(3)}, "NaN"),
        ({"e.txt": np.ones((3, 2)), "l.npy": np.arange(3)}, "expected a .npy or .npz file"),
    ],
)
def test_bad_files_exit_2_with_a_message(tmp_path, files, message):
    paths = []
    for name, array in files.items():
        path = tmp_path / name
        with open(path, "wb") as handle:
            np.save(handle, array)
        paths.append(path)
    result = run(tmp_path, *paths, "--quiet")
    assert result.returncode == 2
    assert result.stdout == "" and result.stderr.startswith("error: ") and message in result.stderr


def test_loaders(tmp_path):
    np.savez(tmp_path / "two.npz", a=np.zeros(2), b=np.zeros(2))
    with pytest.raises(InputError, match="holds a, b; name the array 'embeddings'"):
        load_embeddings(str(tmp_path / "two.npz"))
    np.savez(tmp_path / "one.npz", whatever=np.arange(4))
    assert load_labels(str(tmp_path / "one.npz")).tolist() == [0, 1, 2, 3]
    (tmp_path / "l.csv").write_text("7,a\n8,b\n\n9\n")
    assert load_labels(str(tmp_path / "l.csv")).tolist() == [7, 8, 9]
    (tmp_path / "bad.csv").write_text("id\n1\nx\n")
    with pytest.raises(InputError, match="row 3: label 'x' is not a whole number"):
        load_labels(str(tmp_path / "bad.csv"))
    with pytest.raises(InputError, match="no such file"):
        load_labels(str(tmp_path / "missing.csv"))


def test_save_centre_needs_centre(tmp_path, small_set):
    result = run(tmp_path, *small_set, "--save-centre", tmp_path / "c.npy")
    assert result.returncode == 2 and "--save-centre needs --centre" in result.stderr
    assert not (tmp_path / "c.npy").exists()
