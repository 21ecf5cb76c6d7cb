"""The evaluation as plain text and as plain data."""

import dataclasses
import math
from typing import TYPE_CHECKING, Any, List, Optional

import numpy as np

from .bits import PERCENTILES

if TYPE_CHECKING:
    from .analysis import Candidate, Evaluation, Measured, Protocol, Rate

CENTRING = (
    "Whatever centring is used here must be applied identically before lock_secret and "
    "unlock_secret: keep the centre (--save-centre) and subtract it from every embedding, "
    "at enrolment and at every probe."
)
MODEL_NOTE = (
    "The model: a locker agrees with probability C(n-d, k)/C(n, k) when d of the n bits differ, "
    "independently of the other lockers; the secret wins the vote with 2 or more agreeing "
    "lockers, and with a single one only if it is locker 0. It counts every wrong candidate "
    "as one vote; two lockers that sampled the same enrolled and probe bit strings share one, "
    "which matters only for short lockers at thresholds of a few votes."
)
# Up to this locker size, wrong candidates that share votes are common enough
# to show in a measurement at a threshold of a few votes.
SHORT_LOCKER_BITS = 16
SEED_NOTE = (
    "The protocol (who is enrolled and probed, and the secrets) follows the seed; lock_secret "
    "draws its own locker seeds, as in use, so a rerun differs within the intervals."
)


def _plain(value: Any) -> Any:
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {
            f.name: _plain(getattr(value, f.name))
            for f in dataclasses.fields(value)
            if f.repr
        }
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, (np.integer, np.bool_)):
        return value.item()
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return number if math.isfinite(number) else None
    return value


def as_dict(evaluation: "Evaluation") -> Any:
    out = _plain(evaluation)
    out["bits"] = evaluation.bits.to_dict()
    # For scripts: the answer for the enrolment asked for, without digging.
    out["recommendation"] = out["protocols"][0]["recommendation"]
    out["notes"] = evaluation.notes + [MODEL_NOTE, SEED_NOTE]
    return out


def _pct(x: Optional[float], digits: int = 3) -> str:
    if x is None or not math.isfinite(x):
        return "-"
    if x == 0:
        return "0 %"
    if x < 1e-6:
        return "<0.0001 %"
    percent = 100 * x
    if percent >= 10:
        return f"{percent:.1f} %" if digits > 2 else f"{percent:.0f} %"
    return f"{percent:.{digits}g} %"


def _interval(low: float, high: float) -> str:
    return f"[{_pct(low, 2)}, {_pct(high, 2)}]"


def _bits_section(ev: "Evaluation") -> List[str]:
    bits = ev.bits
    bias = bits.bias
    lines = [
        "The bits (1 where an element is greater than zero)",
        f"  Bias per dimension: mean |share of ones - 1/2| = {bias.mean_abs:.3f}, largest "
        f"{bias.max_abs:.3f}; {bias.strongly_biased} of {bias.n_dimensions} dimensions have a "
        "share of ones outside 40-60 %.",
    ]
    if ev.centred_here:
        lines.append("  Centred here: the mean of each dimension was subtracted first.")
        lines.append("  " + CENTRING)
    elif not bias.centred:
        lines.append(
            "  The data is not centred: many dimensions lean to one sign, so impostors agree "
            "in more bits than chance. Try --centre, which subtracts the mean of each dimension."
        )
        lines.append("  " + CENTRING)
    head = "".join(f"{p:>7}%" for p in PERCENTILES)
    lines.append(f"  bit error rate    pairs     mean      std{head}")
    for name, dist in (("genuine", bits.genuine), ("impostor", bits.impostor)):
        cells = "".join(f"{_pct(dist.percentiles.get(p), 3):>8}" for p in PERCENTILES)
        lines.append(f"  {name:<13}{dist.pairs:>9} {_pct(dist.mean):>8} {_pct(dist.std):>8}{cells}")
    closest = bits.closest_impostor
    if closest is not None:
        lines.append(
            f"  Closest impostor pair: rows {closest.rows[0]} and {closest.rows[1]} (labels "
            f"{closest.labels[0]} and {closest.labels[1]}): {closest.differing_bits} bits differ "
            f"({_pct(closest.rate)})."
        )
    return lines


def _rate_cells(rate: "Rate") -> str:
    mark = " " if rate.agrees else "!"
    return (
        f"{_pct(rate.rate):>9} {_interval(rate.low, rate.high):<20}"
        f"{_pct(rate.predicted):>10} {_interval(rate.predicted_low, rate.predicted_high):<19}{mark}"
    )


def _measured_section(m: "Measured") -> List[str]:
    fused = f", enrolment fused from {m.fuse} samples" if m.fuse > 1 else ""
    capped = " (capped by the budget)" if m.capped else ""
    lines = [
        f"Measured: {m.n_lockers} lockers of {m.locker_size} bits{fused}",
        f"  {m.genuine_trials} genuine and {m.impostor_trials} impostor trials{capped} in "
        f"{m.seconds:.1f} s; lock {m.lock_ms:.3g} ms, unlock {m.unlock_ms:.3g} ms per call; "
        f"record {m.record_bytes} bytes of JSON",
        f"  {'prob_thresh':<11}{'votes':>6}  {'FAR':>9} {'Wilson 95 %':<20}{'model':>10} "
        f"{'95 % range':<20}{'FRR':>9} {'Wilson 95 %':<20}{'model':>10} {'95 % range':<19} chosen for",
    ]
    for point in m.points:
        lines.append(
            f"  {point.prob_thresh:<11.4g}{point.votes_needed:>6}  {_rate_cells(point.far)}"
            f"{_rate_cells(point.frr)} {point.why}"
        )
    b = m.balance
    if b.balanced:
        lines.append(
            f"  FAR and FRR meet at prob_thresh {b.prob_thresh:.4g}: EER {_pct(b.eer)} "
            f"{_interval(b.low, b.high)}"
        )
    else:
        lines.append(
            f"  No threshold balances FAR and FRR: even at the lowest (1 vote) FRR is {_pct(b.frr)} "
            f"against FAR {_pct(b.far)}."
        )
    if not all(r.agrees for p in m.points for r in (p.far, p.frr)):
        lines.append("  ! measurement outside the model's 95 % range (about 1 in 20 by chance)")
        if m.locker_size <= SHORT_LOCKER_BITS:
            lines.append(
                f"    With {m.locker_size}-bit lockers and few votes, wrong candidates that share a "
                "vote (see the notes) can beat the secret: the model overstates releases there."
            )
    return lines


def _candidate_line(c: "Candidate") -> str:
    thresh = "-" if c.prob_thresh is None else f"{c.prob_thresh:.4g}"
    return (
        f"  {c.n_lockers:>8} {c.locker_size:>5} {thresh:>12} {_pct(c.far):>10} {_pct(c.frr):>10} "
        f"{_pct(c.eer):>10} {c.record_bytes:>11}"
    )


def _model_section(p: "Protocol", ev: "Evaluation") -> List[str]:
    target = ev.settings.target_far
    lines = [
        f"Model, from {p.model_pairs} protocol draws (genuine bit error rate {_pct(p.genuine_mean)}, "
        f"impostor {_pct(p.impostor_mean)}): the lowest-FRR locker size for each number of "
        f"lockers, at the lowest threshold with FAR at most {_pct(target)}",
        f"  {'n_lockers':>8} {'k':>5} {'prob_thresh':>12} {'FAR':>10} {'FRR':>10} {'EER':>10} "
        f"{'JSON bytes':>11}",
    ]
    for secure in (False, True):
        for n in sorted({c.n_lockers for c in p.candidates}):
            pool = [
                c for c in p.candidates
                if c.n_lockers == n and c.votes_needed
                and (c.locker_size >= ev.settings.min_work_bits) == secure
            ]
            if pool:
                lines.append(_candidate_line(min(pool, key=lambda c: c.frr)))
        if not secure:
            lines.append(f"  with lockers of at least {ev.settings.min_work_bits} bits:")
    return lines


def _recommendation_section(p: "Protocol", ev: "Evaluation") -> List[str]:
    r = p.recommendation
    lines = ["Recommendation", "  " + r.statement]
    c = r.candidate
    if c is None:
        return lines
    lines += [
        f"  n_lockers={c.n_lockers}, locker_size={c.locker_size}, prob_thresh={c.prob_thresh!r}"
        f" ({c.votes_needed} agreeing locker{'s' if c.votes_needed != 1 else ''}; brute force 2^{c.locker_size} SHA-256 pairs per record)",
        f"  model: FAR {_pct(c.far)}, FRR {_pct(c.frr)}; record {c.record_bytes} bytes of JSON",
    ]
    m = r.measured
    if m is not None:
        point = m.points[0]
        lines.append(
            f"  measured ({m.genuine_trials} genuine, {m.impostor_trials} impostor trials): FAR "
            f"{_pct(point.far.rate)} {_interval(point.far.low, point.far.high)}, FRR "
            f"{_pct(point.frr.rate)} {_interval(point.frr.low, point.frr.high)}; lock "
            f"{m.lock_ms:.3g} ms, unlock {m.unlock_ms:.3g} ms"
        )
        if point.far.low > ev.settings.target_far:
            lines.append("  Warning: the measured FAR is above the target beyond its interval.")
    lines.append(
        f"  FuzzyExtractor(n_lockers={c.n_lockers}, locker_size={c.locker_size}); "
        f"unlock_secret(probe, helper_data, prob_thresh={c.prob_thresh!r})"
    )
    return lines


def _fusion_lines(ev: "Evaluation") -> List[str]:
    hint = ev.fusion_hint
    if hint is None:
        if len(ev.protocols) < 2:
            return []
        single, fused = ev.protocols[1].recommendation, ev.protocols[0].recommendation
        if single.candidate is None:
            return []
        return [
            f"  Without fusion (one enrolment sample) the best setting has FRR "
            f"{_pct(single.candidate.frr)} (model) at {single.candidate.n_lockers} lockers of "
            f"{single.candidate.locker_size} bits."
        ]
    c = hint.recommendation.candidate
    if c is None:
        return [f"  Fusion: enrolling the mean of {hint.fuse} samples would not reach the FAR target either."]
    return [
        f"  Fusion: enrolling the mean of {hint.fuse} samples (--fuse {hint.fuse}) would give, by the "
        f"model, FRR {_pct(c.frr)} at FAR {_pct(c.far)} with {c.n_lockers} lockers of "
        f"{c.locker_size} bits, prob_thresh {c.prob_thresh!r}"
        + ("." if hint.recommendation.met else f"; still above the accepted {_pct(ev.settings.max_frr)}.")
    ]


def text(ev: "Evaluation") -> str:
    s = ev.settings
    lines = [
        f"orvex.evaluate: {ev.n_samples} samples of {ev.n_features} features, "
        f"{ev.n_identities} identities; target FAR {_pct(s.target_far)}, lockers of at least "
        f"{s.min_work_bits} bits (brute force 2^k SHA-256 pairs per record)",
        "",
    ]
    lines += _bits_section(ev)
    for p in ev.protocols:
        enrolment = "one sample" if p.fuse == 1 else f"the mean of {p.fuse} samples"
        lines += [
            "",
            f"Protocol: enrolment from {enrolment}, seed {p.seed}. Each trial enrols a person "
            f"with at least {p.fuse + 1} samples, locks a random 16-byte secret once, and unlocks "
            "it at threshold 0 with another sample of that person and with a sample of another "
            "person; thresholds are then compared with the winning vote count.",
        ]
        for m in p.measured:
            lines += [""] + _measured_section(m)
        lines += [""] + _model_section(p, ev)
    lines += [""] + _recommendation_section(ev.protocols[0], ev) + _fusion_lines(ev)
    lines += ["", "Notes"] + [f"  - {n}" for n in ev.notes + [MODEL_NOTE, SEED_NOTE]]
    return "\n".join(lines) + "\n"
