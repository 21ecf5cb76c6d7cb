import functools
import io
import json
import math
import random
from fractions import Fraction

import numpy as np
import pytest

import orvex.fuzzy
from orvex.evaluate import InputError, Settings, binarize, evaluate
from orvex.evaluate.analysis import Candidate, _balance, _measured_curves, recommend
from orvex.evaluate.bits import bias_of, pair_statistics
from orvex.evaluate.model import Model, VoteCount, poisson_binomial_interval, wilson_interval
from orvex.evaluate.data import prepare
from orvex.evaluate.progress import _Plain
from orvex.evaluate.trials import TrialResult, draw_pairs, record_bytes
from orvex.fuzzy import FuzzyExtractor


def planted_set(people, samples, n_features, rates, seed=0, shared_centre=False):
    """Each sample is its person's centre with each sign flipped with the person's rate."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((1 if shared_centre else people, n_features))
    labels = np.repeat(np.arange(people), samples)
    centre = centres[0 if shared_centre else labels]
    flips = rng.random((len(labels), n_features)) < np.asarray(rates)[labels, None]
    return np.where(flips, -centre, centre), labels


@pytest.fixture
def seeded_lockers(monkeypatch):
    """lock_secret's locker seeds from a fixed stream, so trials repeat exactly."""
    stream = random.Random(7)
    monkeypatch.setattr(orvex.fuzzy, "secrets", type("S", (), {"token_bytes": staticmethod(stream.randbytes)}))


@functools.lru_cache(maxsize=None)
def exact_votes(n, k, n_lockers, d):
    """P(A = j) for the agreeing lockers, by exact arithmetic."""
    q = Fraction(math.comb(n - d, k), math.comb(n, k))
    return [math.comb(n_lockers, j) * q**j * (1 - q) ** (n_lockers - j) for j in range(n_lockers + 1)]


@functools.lru_cache(maxsize=None)
def float_votes(n, k, n_lockers, d):
    """P(A = j) in floating point, term by term through log-gamma."""
    q = math.comb(n - d, k) / math.comb(n, k)
    if q in (0.0, 1.0):
        return [float(j == (0 if q == 0.0 else n_lockers)) for j in range(n_lockers + 1)]
    log_choose = [math.lgamma(n_lockers + 1) - math.lgamma(j + 1) - math.lgamma(n_lockers - j + 1) for j in range(n_lockers + 1)]
    return [math.exp(c + j * math.log(q) + (n_lockers - j) * math.log1p(-q)) for j, c in enumerate(log_choose)]


def float_refusal(n, k, n_lockers, d, m):
    pmf = float_votes(n, k, n_lockers, d)
    return math.fsum(pmf[: max(2, m)]) - (pmf[1] / n_lockers if m <= 1 else 0)


def exact_release(n, k, n_lockers, d, m):
    """P(released): >= 2 agreeing lockers, or locker 0 alone."""
    pmf = exact_votes(n, k, n_lockers, d)
    return sum(pmf[max(2, m) :]) + (pmf[1] / n_lockers if m <= 1 else 0)


@pytest.mark.parametrize("n, k, n_lockers, d", [(16, 3, 7, 5), (64, 8, 1, 10), (64, 4, 40, 0), (32, 8, 9, 30), (512, 32, 60, 200)])
def test_vote_model_matches_exact_arithmetic(n, k, n_lockers, d):
    count = Model(n).votes(k, n_lockers, d)
    for m in range(0, n_lockers + 2):
        exact = exact_release(n, k, n_lockers, d, m)
        assert count.released(m) == pytest.approx(float(exact), rel=1e-9, abs=1e-30)
        assert count.refused(m) == pytest.approx(float(1 - exact), rel=1e-9, abs=1e-15)


def test_model_curves_average_the_per_probe_figures():
    model, n, k, n_lockers = Model(48), 48, 5, 20
    histogram = np.zeros(n + 1)
    histogram[[0, 3, 11, 24, 47]] = [1, 4, 2, 3, 5]
    released, refused = model.curves(k, n_lockers, histogram)
    for m in range(n_lockers + 1):
        expected = sum(w * float(exact_release(n, k, n_lockers, d, m)) for d, w in enumerate(histogram)) / histogram.sum()
        assert released[m] == pytest.approx(expected, rel=1e-9, abs=1e-30)
        assert released[m] + refused[m] == pytest.approx(1.0)


def test_far_tails_stay_accurate_where_doubles_would_underflow():
    # An impostor against 100000 lockers of 32 bits: P(A >= 3) is about (Lq)^3 / 6.
    count = VoteCount.of(100_000, 2.0**-32)
    lq = 100_000 * 2.0**-32
    assert count.at_least(3) == pytest.approx(lq**3 / 6, rel=1e-4)
    assert count.below(1) == pytest.approx(math.exp(-lq), rel=1e-6)


def test_intervals():
    assert wilson_interval(0, 0) == (0.0, 1.0)
    low, high = wilson_interval(10, 100)
    assert low == pytest.approx(0.0552, abs=1e-4) and high == pytest.approx(0.1744, abs=1e-4)
    # Equal probabilities: the binomial's 2.5 % and 97.5 % quantiles.
    assert poisson_binomial_interval([0.5] * 100) == (40, 60)
    assert poisson_binomial_interval([0.0] * 5 + [1.0] * 3) == (3, 3)


def test_bits_and_record_size_are_the_extractor_s():
    rng = np.random.default_rng(2)
    rows = rng.standard_normal((3, 40))
    rows[0, :4] = [0.0, -0.0, 1e-300, -1e-300]
    extractor = FuzzyExtractor(37, 6)
    for row in rows:
        assert binarize(row).tolist() == extractor._binarize(row)
        helper = extractor.lock_secret(row, bytes(16))
        assert len(json.dumps(helper)) == record_bytes(37, 40)


def test_default_budget_runs_ten_thousand_trials_of_the_defaults():
    settings = Settings()
    assert settings.budget // (3 * 1024) >= settings.trials // 2


def small_settings(**changes):
    base = dict(trials=800, model_pairs=3000, max_lockers=1024, budget=3e6, workers=1, min_work_bits=16)
    base.update(changes)
    return Settings(**base)


def test_planted_error_rates_give_the_known_answer(seeded_lockers):
    # Genuine pairs differ in each bit with probability 2r(1 - r): the model's
    # answer follows from the planted rates alone, and the real extractor's
    # measurements must fall within the intervals around it.
    n, people = 128, 30
    rates = np.linspace(0.04, 0.16, people)
    embeddings, labels = planted_set(people, 4, n, rates)
    ev = evaluate(embeddings, labels, small_settings(measure=[(64, 12)]))
    protocol = ev.protocols[0]
    measured = {(m.n_lockers, m.locker_size): m for m in protocol.measured}
    assert set(measured) >= {(1024, 8), (64, 12)}
    flip = 2 * rates * (1 - rates)
    bit_errors = [np.array([math.comb(n, d) * r**d * (1 - r) ** (n - d) for d in range(n + 1)]) for r in flip]
    seen = np.max(bit_errors, axis=0) > 1e-12
    for (n_lockers, k), result in measured.items():
        for point in result.points:
            refusal = np.array([
                float_refusal(n, k, n_lockers, d, point.votes_needed) if seen[d] else 0.0
                for d in range(n + 1)
            ])
            known = np.mean([weights @ refusal for weights in bit_errors])
            frr = point.frr
            # 99.9 %: a dozen points are compared, and a wrong model misses by far more.
            low, high = wilson_interval(frr.errors, frr.trials, z=3.29)
            assert low <= known <= high, (n_lockers, k, point)
            assert frr.predicted_low <= frr.rate <= frr.predicted_high
            assert frr.agrees
            if k >= 12:  # wrong candidates never share a vote here
                assert point.far.agrees
    # The measured bit errors are the planted ones.
    assert ev.bits.genuine.mean == pytest.approx(flip.mean(), abs=0.01)
    assert ev.bits.impostor.mean == pytest.approx(0.5, abs=0.01)


def test_trials_repeat_exactly_with_fixed_locker_seeds(seeded_lockers, monkeypatch):
    embeddings, labels = planted_set(10, 3, 64, [0.05] * 10)
    settings = small_settings(trials=60, max_lockers=256, min_work_bits=8)
    first = evaluate(embeddings, labels, settings).to_dict()
    stream = random.Random(7)
    monkeypatch.setattr(orvex.fuzzy.secrets, "token_bytes", stream.randbytes)
    again = evaluate(embeddings, labels, settings).to_dict()
    assert without_timings(first) == without_timings(again)
    json.dumps(first, allow_nan=False)


def without_timings(value):
    if isinstance(value, dict):
        return {k: without_timings(v) for k, v in value.items() if k not in ("lock_ms", "unlock_ms", "seconds")}
    if isinstance(value, list):
        return [without_timings(v) for v in value]
    return value


def test_nothing_meets_the_target_when_impostors_look_like_genuine_users():
    # Everyone is a noisy copy of one face: impostors are as close as genuine
    # probes, so a low FAR costs nearly every genuine user.
    embeddings, labels = planted_set(20, 6, 96, [0.1] * 20, shared_centre=True)
    ev = evaluate(embeddings, labels, small_settings(trials=40, max_lockers=512))
    rec = ev.recommendation
    assert not rec.met
    assert rec.candidate is None or rec.candidate.frr > 0.5
    assert "No setting" in rec.statement
    assert ev.fusion_hint is not None and ev.fusion_hint.fuse == 5
    assert not ev.fusion_hint.measured  # model only


def test_single_sample_identities_are_impostors_only():
    embeddings, labels = planted_set(12, 3, 64, [0.05] * 12)
    labels = labels.copy()
    labels[[0, 3]] = [100, 101]  # two people with a single sample each
    ev = evaluate(embeddings, labels, small_settings(trials=40, max_lockers=256))
    assert ev.single_sample_identities == 2
    assert any("single sample" in note for note in ev.notes)
    pairs = draw_pairs(prepare(embeddings, labels, False), 1, 2000, seed=0)
    assert not np.isin(labels[pairs.enrolled], [100, 101]).any()
    assert not np.isin(labels[pairs.genuine], [100, 101]).any()
    assert np.isin(labels[pairs.impostor], [100, 101]).any()
    assert (labels[pairs.genuine] == labels[pairs.enrolled[:, 0]]).all()
    assert (labels[pairs.impostor] != labels[pairs.enrolled[:, 0]]).all()


@pytest.mark.parametrize(
    "embeddings, labels, message",
    [
        (np.zeros(8), np.arange(8), "(N, d) array"),
        (np.zeros((4, 3)), np.array([0, 1, 2]), "3 labels for 4 embeddings"),
        (np.array([[1.0, np.nan], [2.0, 3.0]]), np.array([0, 1]), "NaN or infinite values (first at row 0, column 1)"),
        (np.ones((5, 3)), np.zeros(5, dtype=int), "at least two are needed"),
        (np.ones((4, 3)), np.array([0.0, 0.5, 1.0, 2.0]), "whole numbers"),
        (np.ones((4, 3)), np.array(["a", "b", "c", "d"]), "integers"),
        (np.ones((4, 3)), np.array([0, 1, 2, 3]), "no identity has 2 samples"),
    ],
)
def test_bad_input_is_refused_clearly(embeddings, labels, message):
    with pytest.raises(InputError, match=message.replace("(", r"\(").replace(")", r"\)")):
        evaluate(embeddings, labels, small_settings())


def test_too_few_features_for_the_work_bits():
    embeddings, labels = planted_set(6, 3, 24, [0.05] * 6)
    ev = evaluate(embeddings, labels, small_settings(trials=20, min_work_bits=32, max_lockers=256))
    assert not ev.recommendation.met and ev.recommendation.candidate is None
    assert "lockers of at most 24 bits, fewer than the 32 asked for" in ev.recommendation.statement


def test_fusion_needs_enough_samples():
    embeddings, labels = planted_set(5, 3, 32, [0.05] * 5)
    with pytest.raises(InputError, match="no identity has 4 samples"):
        evaluate(embeddings, labels, small_settings(fuse=3))


def candidate(n_lockers, k, frr, far=1e-5):
    return Candidate(n_lockers, k, 2 / n_lockers, 2, far, frr, 0.1, record_bytes(n_lockers, 512))


def test_recommendation_prefers_low_frr_then_fewer_lockers():
    settings = Settings(min_work_bits=32)
    pool = [
        candidate(100_000, 32, 0.2000),
        candidate(4096, 32, 0.2004),  # within a hair: fewer lockers win
        candidate(1024, 32, 0.30),
        candidate(256, 16, 0.01),  # too few bits to count
    ]
    rec = recommend(pool, settings, 1)
    assert rec.met and (rec.candidate.n_lockers, rec.candidate.locker_size) == (4096, 32)
    rec = recommend([candidate(1024, 40, 0.7)], settings, 1)
    assert not rec.met and rec.candidate.locker_size == 40
    assert "No setting meets both targets" in rec.statement
    unreachable = Candidate(1024, 40, None, None, 0.02, 1.0, 0.3, 0)
    rec = recommend([unreachable, candidate(512, 8, 0.0)], settings, 1)
    assert not rec.met and rec.candidate is None


def test_pair_statistics_match_a_plain_count():
    rng = np.random.default_rng(4)
    embeddings = rng.standard_normal((50, 40))
    labels = rng.integers(0, 10, size=50)
    report = pair_statistics(prepare(embeddings, labels, False), seed=0, block=7)
    bits = embeddings > 0
    genuine, impostor = np.zeros(41, dtype=int), np.zeros(41, dtype=int)
    closest = None
    for i in range(50):
        for j in range(i + 1, 50):
            d = int((bits[i] != bits[j]).sum())
            if labels[i] == labels[j]:
                genuine[d] += 1
            else:
                impostor[d] += 1
                closest = min(closest or (d, i, j), (d, i, j))
    assert report.genuine.histogram.tolist() == genuine.tolist()
    assert report.impostor.histogram.tolist() == impostor.tolist()
    assert report.impostor.mean == pytest.approx((impostor * np.arange(41)).sum() / impostor.sum() / 40)
    c = report.closest_impostor
    assert (c.differing_bits, *c.rows) == closest
    assert c.labels == (labels[closest[1]], labels[closest[2]])


def test_bias_tells_centred_from_shifted_data():
    rng = np.random.default_rng(6)
    embeddings = rng.standard_normal((400, 64))
    assert bias_of(binarize(embeddings)).centred
    shifted = bias_of(binarize(embeddings + 0.5))
    assert not shifted.centred and shifted.strongly_biased > 50
    assert shifted.most_biased[0][1] > 0.6
    assert bias_of(binarize(prepare(embeddings + 0.5, np.arange(400) % 5, True).embeddings)).centred


def test_measured_rates_at_every_threshold():
    # Genuine: released with 5, 3 and 1 votes, and one not released; impostors:
    # released with 2 votes once.
    result = TrialResult(
        n_lockers=6, locker_size=4, fuse=1,
        genuine_released=np.array([True, True, True, False]), genuine_votes=np.array([5, 3, 1, 4]),
        genuine_differing=np.zeros(4, dtype=int),
        impostor_released=np.array([True, False, False, False]), impostor_votes=np.array([2, 3, 1, 1]),
        impostor_differing=np.zeros(4, dtype=int),
        lock_seconds=np.zeros(4), unlock_seconds=np.zeros(8), wall_seconds=0.0, record_bytes=0,
    )
    far, frr = _measured_curves(result)
    assert far.tolist() == [0.25, 0.25, 0.25, 0, 0, 0, 0]
    assert frr.tolist() == [0.25, 0.25, 0.5, 0.5, 0.75, 0.75, 1.0]
    balance = _balance(far, frr, 6, 4, 4)
    assert balance.balanced and balance.prob_thresh in (1 / 6, 2 / 6)
    unbalanced = _balance(np.zeros(7), np.full(7, 0.5), 6, 4, 4)
    assert not unbalanced.balanced and unbalanced.frr == 0.5


def test_plain_progress_off_a_terminal():
    stream = io.StringIO()
    advance = _Plain("set", 100, stream)
    for _ in range(50):
        advance(2)
    lines = stream.getvalue().splitlines()
    assert 10 <= len(lines) <= 11 and lines[-1].startswith("set: 100/100")
