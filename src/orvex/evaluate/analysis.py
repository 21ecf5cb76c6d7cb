"""From embeddings to a recommendation: the model explores, the trials measure."""

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .bits import BitReport, pair_statistics
from .data import Dataset, InputError, prepare
from .model import Model, poisson_binomial_interval, votes_needed, wilson_interval
from .trials import Pairs, TrialResult, draw_pairs, eligible_identities, record_bytes, run_trials

DEFAULT_SET = (1024, 8)  # FuzzyExtractor's n_lockers and locker_size
DEFAULT_THRESHOLD = 0.2
SHORT_LOCKERS = (4, 6, 8, 12, 16, 20, 24, 28)
# When the best setting still rejects this share of genuine users, say what
# fusing enrolment samples would change.
FUSION_HINT_FRR = 0.1
FUSION_HINT_SAMPLES = 5
# FRRs this close to the lowest count as equal when choosing a setting.
FRR_TOLERANCE = 0.001


@dataclass
class Settings:
    target_far: float = 0.001
    min_work_bits: int = 32
    max_frr: float = 0.5  # a setting that rejects more genuine users is not usable
    trials: int = 10_000  # per measured set: half genuine, half impostor
    fuse: int = 1
    centre: bool = False
    seed: int = 0
    max_lockers: int = 100_000
    # Lockers evaluated per measured set (a lock or unlock of L lockers counts
    # L); caps the trials of sets with many lockers.
    budget: float = 2e7
    model_pairs: int = 20_000
    workers: int = 0
    measure: Sequence[Tuple[int, int]] = ()  # extra (n_lockers, locker_size) to run

    def check(self) -> None:
        if not 0.0 < self.target_far < 1.0:
            raise InputError(f"target FAR must be between 0 and 1, got {self.target_far}")
        if not 1 <= self.min_work_bits <= 256:
            raise InputError(f"min work bits must be between 1 and 256, got {self.min_work_bits}")
        if self.trials < 2:
            raise InputError(f"trials must be at least 2, got {self.trials}")
        if self.fuse < 1:
            raise InputError(f"fuse must be at least 1, got {self.fuse}")
        if self.max_lockers < 1:
            raise InputError(f"max lockers must be at least 1, got {self.max_lockers}")


@dataclass
class Rate:
    """A measured error rate beside the model's prediction for the same probes."""

    errors: int
    trials: int
    rate: float
    low: float  # Wilson 95 %
    high: float
    predicted: float  # the model, given each probe's differing bits
    predicted_low: float  # 95 % range of the measured rate if the model holds
    predicted_high: float
    agrees: bool

    @classmethod
    def of(cls, errors: int, trials: int, probabilities: np.ndarray) -> "Rate":
        low, high = wilson_interval(errors, trials)
        lo_count, hi_count = poisson_binomial_interval(probabilities)
        scale = max(trials, 1)
        return cls(
            errors=errors,
            trials=trials,
            rate=errors / scale,
            low=low,
            high=high,
            predicted=float(np.mean(probabilities)) if trials else float("nan"),
            predicted_low=lo_count / scale,
            predicted_high=hi_count / scale,
            agrees=lo_count <= errors <= hi_count,
        )


@dataclass
class Point:
    """One threshold of a measured set."""

    why: str
    prob_thresh: float
    votes_needed: int
    far: Rate
    frr: Rate


@dataclass
class Balance:
    """The threshold at which FAR and FRR meet, or why none does."""

    balanced: bool
    prob_thresh: float
    far: float
    frr: float
    eer: float  # (far + frr) / 2 at the closest threshold
    low: float  # Wilson 95 % of all errors at that threshold
    high: float


@dataclass
class Measured:
    n_lockers: int
    locker_size: int
    fuse: int
    genuine_trials: int
    impostor_trials: int
    capped: bool  # fewer trials than asked, to keep within the budget
    points: List[Point]
    balance: Balance
    lock_ms: float  # median per call
    unlock_ms: float
    seconds: float  # wall clock for all the set's trials
    record_bytes: int
    curve: Tuple[np.ndarray, np.ndarray] = field(repr=False)  # measured FAR, FRR by votes


@dataclass
class Candidate:
    """A setting as the model sees it: the lowest threshold that meets the FAR target."""

    n_lockers: int
    locker_size: int
    prob_thresh: Optional[float]  # None: no threshold reaches the target
    votes_needed: Optional[int]
    far: float
    frr: float
    eer: float
    record_bytes: int


@dataclass
class Recommendation:
    met: bool
    candidate: Optional[Candidate]  # the best setting, even when it misses a target
    measured: Optional[Measured]
    statement: str


@dataclass
class Protocol:
    fuse: int
    seed: int
    model_pairs: int
    genuine_mean: float  # mean bit error rate over the model's pairs
    impostor_mean: float
    candidates: List[Candidate]
    recommendation: Recommendation
    measured: List[Measured]
    histograms: Tuple[np.ndarray, np.ndarray] = field(repr=False)


@dataclass
class Evaluation:
    n_samples: int
    n_features: int
    n_identities: int
    single_sample_identities: int
    centred_here: bool
    settings: Settings
    bits: BitReport
    protocols: List[Protocol]  # the enrolment asked for first
    fusion_hint: Optional[Protocol]  # model only: what fused enrolment would change
    notes: List[str]
    centre: Optional[np.ndarray] = field(default=None, repr=False)

    @property
    def recommendation(self) -> Recommendation:
        return self.protocols[0].recommendation

    def to_dict(self) -> Dict[str, Any]:
        from .report import as_dict

        made: Dict[str, Any] = as_dict(self)
        return made


ProgressFactory = Callable[[str, int], Callable[[int], None]]


def _no_progress(label: str, total: int) -> Callable[[int], None]:
    return lambda step: None


def work_bits_grid(settings: Settings) -> List[int]:
    low = settings.min_work_bits
    longer = list(range(low, low + 8)) + list(range(low + 8, low + 17, 2)) + list(range(low + 20, low + 33, 4))
    return sorted(set(SHORT_LOCKERS) | set(longer))


def lockers_grid(settings: Settings) -> List[int]:
    sizes = {256 << i for i in range(20) if 256 << i <= settings.max_lockers}
    sizes |= {s for s in (DEFAULT_SET[0], 100_000) if s <= settings.max_lockers}
    sizes.add(settings.max_lockers)
    return sorted(sizes)


def _balance(far: np.ndarray, frr: np.ndarray, n_lockers: int, genuine: int, impostor: int) -> Balance:
    """Where FAR (falling with the vote count) meets FRR (rising), over m = 1..L."""
    m = np.arange(1, n_lockers + 1)
    gap = frr[m] - far[m]
    if gap[0] > 0:
        best = 1
        balanced = False
    else:
        best = int(m[np.argmin(np.abs(gap))])
        balanced = True
    errors = round(far[best] * impostor + frr[best] * genuine)
    low, high = wilson_interval(errors, genuine + impostor)
    return Balance(
        balanced, best / n_lockers, float(far[best]), float(frr[best]),
        float(far[best] + frr[best]) / 2, low, high,
    )


def explore(
    model: Model, histograms: Tuple[np.ndarray, np.ndarray], n_lockers: int, k: int, settings: Settings
) -> Candidate:
    genuine, impostor = histograms
    _, refused = model.curves(k, n_lockers, genuine)
    far, _ = model.curves(k, n_lockers, impostor)
    meets = np.flatnonzero(far[1:] <= settings.target_far)
    balance = _balance(far, refused, n_lockers, 1, 1)
    size = record_bytes(n_lockers, model.n_features)
    if len(meets) == 0:
        return Candidate(n_lockers, k, None, None, float(far[-1]), float(refused[-1]), balance.eer, size)
    m = int(meets[0]) + 1
    return Candidate(n_lockers, k, m / n_lockers, m, float(far[m]), float(refused[m]), balance.eer, size)


def _measured_curves(result: TrialResult) -> Tuple[np.ndarray, np.ndarray]:
    """Measured FAR and FRR at every vote threshold m = 0..L."""
    size = result.n_lockers + 1

    def accepted(released: np.ndarray, votes: np.ndarray) -> np.ndarray:
        counts = np.bincount(votes[released], minlength=size + 1)[: size + 1]
        return np.cumsum(counts[::-1])[::-1][:size]  # accepted at m: votes >= m

    far = accepted(result.impostor_released, result.impostor_votes) / max(len(result.impostor_votes), 1)
    frr = 1.0 - accepted(result.genuine_released, result.genuine_votes) / max(len(result.genuine_votes), 1)
    return far, frr


def _point(model: Model, result: TrialResult, why: str, m: int) -> Point:
    k, n_lockers = result.locker_size, result.n_lockers
    impostor_in = result.impostor_released & (result.impostor_votes >= m)
    genuine_out = ~(result.genuine_released & (result.genuine_votes >= m))
    far_p = np.array([model.votes(k, n_lockers, int(d)).released(m) for d in result.impostor_differing])
    frr_p = np.array([model.votes(k, n_lockers, int(d)).refused(m) for d in result.genuine_differing])
    return Point(
        why, m / n_lockers, m,
        Rate.of(int(impostor_in.sum()), len(impostor_in), far_p),
        Rate.of(int(genuine_out.sum()), len(genuine_out), frr_p),
    )


def measure(
    model: Model,
    pairs: Pairs,
    n_lockers: int,
    k: int,
    thresholds: Sequence[Tuple[str, int]],
    settings: Settings,
    progress: ProgressFactory,
) -> Measured:
    enrolments = max(1, settings.trials // 2)
    affordable = max(1, int(settings.budget // (3 * n_lockers)))
    count = min(enrolments, affordable, len(pairs))
    label = f"{n_lockers} lockers of {k} bits" + (f", fused {pairs.fuse}" if pairs.fuse > 1 else "")
    result = run_trials(pairs, count, n_lockers, k, settings.seed, settings.workers, progress(label, count))
    far, frr = _measured_curves(result)
    points = [_point(model, result, why, m) for why, m in thresholds]
    balance = _balance(far, frr, n_lockers, count, count)
    balanced_at = votes_needed(n_lockers, balance.prob_thresh)
    if balance.balanced and all(p.votes_needed != balanced_at for p in points):
        points.append(_point(model, result, "FAR = FRR", balanced_at))
    return Measured(
        n_lockers=n_lockers,
        locker_size=k,
        fuse=pairs.fuse,
        genuine_trials=count,
        impostor_trials=count,
        capped=count < enrolments,
        points=points,
        balance=balance,
        lock_ms=float(np.median(result.lock_seconds)) * 1e3,
        unlock_ms=float(np.median(result.unlock_seconds)) * 1e3,
        seconds=result.wall_seconds,
        record_bytes=result.record_bytes,
        curve=(far, frr),
    )


def _percent(x: float) -> str:
    return f"{100 * x:.3g} %"


def recommend(candidates: List[Candidate], settings: Settings, fuse: int) -> Recommendation:
    secure = [c for c in candidates if c.locker_size >= settings.min_work_bits and c.votes_needed]
    if not secure:
        return Recommendation(
            False, None, None,
            f"No setting with lockers of at least {settings.min_work_bits} bits and at most "
            f"{settings.max_lockers} lockers keeps FAR at or below {_percent(settings.target_far)} "
            "on this data: some impostor probes are as close to an enrolment as genuine ones.",
        )
    # Lowest FRR; among settings within a hair of it, the fewest lockers (the
    # cheapest calls and the smallest record).
    lowest = min(c.frr for c in secure)
    close = [c for c in secure if c.frr <= lowest + max(FRR_TOLERANCE, 0.05 * lowest)]
    best = min(close, key=lambda c: (c.n_lockers, c.frr, c.locker_size))
    enrolment = "single-sample enrolment" if fuse == 1 else f"enrolment of the mean of {fuse} samples"
    if best.frr <= settings.max_frr:
        return Recommendation(True, best, None, f"Recommended for {enrolment}.")
    return Recommendation(
        False, best, None,
        f"No setting meets both targets on this data with {enrolment}: keeping FAR at or below "
        f"{_percent(settings.target_far)} with lockers of at least {settings.min_work_bits} bits "
        f"rejects at least {_percent(best.frr)} of genuine users (the most this report accepts "
        f"is {_percent(settings.max_frr)}). The closest setting is shown.",
    )


def _thresholds(n_lockers: int, candidate: Optional[Candidate]) -> List[Tuple[str, int]]:
    out: List[Tuple[str, int]] = []
    if candidate is not None and candidate.votes_needed:
        out.append(("FAR target", candidate.votes_needed))
    default = votes_needed(n_lockers, DEFAULT_THRESHOLD)
    if all(m != default for _, m in out):
        out.append(("the default", default))
    if all(m != 2 for _, m in out) and n_lockers >= 2:
        out.append(("2 votes", 2))
    return out


def run_protocol(
    data: Dataset,
    model: Model,
    fuse: int,
    settings: Settings,
    progress: ProgressFactory,
    with_trials: bool = True,
) -> Protocol:
    count = max(settings.model_pairs, settings.trials // 2)
    pairs = draw_pairs(data, fuse, count, settings.seed)
    genuine, impostor = pairs.differing()
    bins = model.n_features + 1
    histograms = (np.bincount(genuine, minlength=bins), np.bincount(impostor, minlength=bins))
    ks, sizes = work_bits_grid(settings), lockers_grid(settings)
    ks = [k for k in ks if k <= model.n_features]
    candidates = [explore(model, histograms, n, k, settings) for n in sizes for k in ks]
    recommendation = recommend(candidates, settings, fuse)
    if settings.min_work_bits > model.n_features:
        recommendation.statement = (
            f"Embeddings of {model.n_features} values give lockers of at most "
            f"{model.n_features} bits, fewer than the {settings.min_work_bits} asked for."
        )
    measured: List[Measured] = []
    if with_trials:
        sets: List[Tuple[int, int, Optional[Candidate]]] = []
        default = explore(model, histograms, *DEFAULT_SET, settings)
        sets.append((*DEFAULT_SET, default))
        best = recommendation.candidate
        if best is not None and (best.n_lockers, best.locker_size) != DEFAULT_SET:
            sets.append((best.n_lockers, best.locker_size, best))
        for n, k in settings.measure:
            if (n, k) not in [(a, b) for a, b, _ in sets]:
                sets.append((n, k, explore(model, histograms, n, k, settings)))
        for n, k, candidate in sets:
            if k > model.n_features:
                continue
            measured.append(measure(model, pairs, n, k, _thresholds(n, candidate), settings, progress))
        if best is not None:
            recommendation.measured = next(
                (m for m in measured if (m.n_lockers, m.locker_size) == (best.n_lockers, best.locker_size)),
                None,
            )
    return Protocol(
        fuse=fuse,
        seed=settings.seed,
        model_pairs=count,
        genuine_mean=float(genuine.mean()) / model.n_features,
        impostor_mean=float(impostor.mean()) / model.n_features,
        candidates=candidates,
        recommendation=recommendation,
        measured=measured,
        histograms=histograms,
    )


def evaluate(
    embeddings: object,
    labels: object,
    settings: Optional[Settings] = None,
    progress: Optional[ProgressFactory] = None,
) -> Evaluation:
    """Measure the extractor on (N, d) embeddings with N identity labels, and recommend settings."""
    settings = settings or Settings()
    settings.check()
    progress = progress or _no_progress
    data = prepare(embeddings, labels, settings.centre)
    model = Model(data.n_features)
    members = data.members()
    notes: List[str] = []
    bits = pair_statistics(data, settings.seed)
    if bits.rows_used < len(data.labels):
        notes.append(
            f"The pairwise bit figures come from {bits.rows_used} of {len(data.labels)} samples, "
            f"drawn with seed {settings.seed}."
        )
    singles = sum(1 for rows in members.values() if len(rows) == 1)
    if singles:
        notes.append(
            f"{singles} of {len(members)} identities have a single sample: they serve only as "
            "impostor probes."
        )
    protocols = [run_protocol(data, model, settings.fuse, settings, progress)]
    if settings.fuse > 1 and eligible_identities(data, 1):
        protocols.append(run_protocol(data, model, 1, settings, progress))
    hint = None
    first = protocols[0].recommendation
    needs_hint = not first.met or (first.candidate is not None and first.candidate.frr > FUSION_HINT_FRR)
    if settings.fuse == 1 and needs_hint:
        largest = max(len(rows) for rows in members.values())
        fuse = min(FUSION_HINT_SAMPLES, largest - 1)
        if fuse >= 2:
            hint = run_protocol(data, model, fuse, settings, progress, with_trials=False)
        else:
            notes.append("No identity has 3 samples: what fused enrolment would change cannot be estimated.")
    if any(m.capped for p in protocols for m in p.measured):
        notes.append(
            f"Sets with many lockers ran fewer trials, to stay within {settings.budget:.3g} locker "
            "evaluations each (--budget); their figures lean on the model."
        )
    return Evaluation(
        n_samples=len(data.labels),
        n_features=data.n_features,
        n_identities=len(members),
        single_sample_identities=singles,
        centred_here=settings.centre,
        settings=settings,
        bits=bits,
        protocols=protocols,
        fusion_hint=hint,
        notes=notes,
        centre=data.centre,
    )
