"""Monte Carlo of bias_correction="analytical": the slopes and average
partial effects of a short panel logit or probit with firm effects (and
firm and year effects), uncorrected and corrected, against the known truth.

Design (seeded, one panel per replication): firms × years rows, firm
effects αᵢ ~ N(0, 1), year effects γₜ evenly spaced on [-1, 1] (the two-way
design only), x1 = αᵢ + γₜ/2 + N(0, 1) (correlated with the effects),
x2 ~ N(0, 1), y = 1 with probability F(x1 − 0.5 x2 + αᵢ (+ γₜ)), F the
link's cdf. Each replication fits LogisticRegression(absorb=...,
bias_correction="analytical") and the same without the correction:
coef_uncorrected_ is the maximum-likelihood estimate, coef_ the corrected
one, and both are judged with the uncorrected fit's standard errors (the
correction changes no first-order variance); the average partial effects
are those of marginal_effects() of each. Firms of a single outcome are left
out by the fit, as always. A panel whose fit does not converge (a probit
level whose effect runs off, now and then) is not corrected and is left
out of the table; its column "panels" counts those kept. The logit alone by
default: with these slopes and effects a probit's η spreads 1.6 times as
far on its own scale, and its fits (--links probit) often stop at max_iter
with levels nearly separated, so that the panels kept are a selection.

Reported per link, design and parameter: the mean bias (in % of the truth)
with its Monte Carlo standard error (the standard deviation of the
estimates over √R, in %), and the coverage of the 95 % Wald interval. With
--timing, also one logit fit of 10⁶ rows (125,000 firms × 8 years, one and
two absorbed columns) with and without the correction, to give its cost.

    python bench/bias_correction_mc.py                  # 500 panels, 400 firms x 8 years
    python bench/bias_correction_mc.py --panels 20      # a first look at the time it takes
    python bench/bias_correction_mc.py --timing         # and the 10^6-row cost

Writes bench/results/bias_correction.md (--output to change it).
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.special import expit, ndtr
from scipy.stats import norm
from sklearn.exceptions import ConvergenceWarning

from quorvi import LogisticRegression, PerfectSeparationWarning

TRUTH = np.array([1.0, -0.5])
DESIGNS = {"firm": ["firm"], "firm + year": ["firm", "year"]}
# Per link, its cdf F and density f.
LINKS = {"logit": (expit, lambda eta: expit(eta) * expit(-eta)), "probit": (ndtr, norm.pdf)}


def panel(
    rng: np.random.Generator, firms: int, years: int, two_way: bool, link: str = "logit"
) -> tuple[pd.DataFrame, np.ndarray, np.ndarray]:
    """A panel's features and levels, its outcomes drawn through the link,
    and each row's true η."""
    firm, year = np.repeat(np.arange(firms), years), np.tile(np.arange(years), firms)
    alpha = rng.standard_normal(firms)[firm]
    gamma = np.linspace(-1.0, 1.0, years)[year] if two_way else np.zeros(len(firm))
    x1 = alpha + 0.5 * gamma + rng.standard_normal(len(firm))
    x2 = rng.standard_normal(len(firm))
    eta = TRUTH[0] * x1 + TRUTH[1] * x2 + alpha + gamma
    y = (rng.random(len(firm)) < LINKS[link][0](eta)).astype(np.int8)
    return pd.DataFrame({"x1": x1, "x2": x2, "firm": firm, "year": year}), y, eta


def fit(
    X: pd.DataFrame, y: np.ndarray, absorb: list[str], correct: bool, link: str = "logit"
) -> LogisticRegression:
    model = LogisticRegression(
        absorb=absorb, bias_correction="analytical" if correct else None, link=link, n_threads=1
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PerfectSeparationWarning)
        warnings.simplefilter("ignore", ConvergenceWarning)
        return model.fit(X[["x1", "x2", *absorb]], y)


def summarised(
    design: str, what: str, label: str, estimates: np.ndarray, errors: np.ndarray, truth: np.ndarray
) -> list[dict[str, object]]:
    """The table's rows of one kind of estimate: per feature, the mean bias
    relative to the truth (of each panel) and the intervals' coverage."""
    rows = []
    panels = len(estimates)
    for k, name in enumerate(("x1", "x2")):
        relative = estimates[:, k] / truth[:, k] - 1.0
        covered = np.abs(estimates[:, k] - truth[:, k]) <= 1.959964 * errors[:, k]
        rows.append(
            {
                "absorbed": design,
                "parameter": f"{name} {what}",
                "estimate": label,
                "mean bias %": 100 * relative.mean(),
                "MC s.e. %": 100 * relative.std(ddof=1) / np.sqrt(panels),
                "coverage 95 %": 100 * covered.mean(),
                "MC s.e. coverage": 100 * np.sqrt(covered.mean() * (1 - covered.mean()) / panels),
            }
        )
    return rows


def replicate(panels: int, firms: int, years: int, seed: int, link: str) -> list[dict[str, object]]:
    """Per design, the slopes (true 1.0 and -0.5) and the average partial
    effects (true: the mean of βₖ f(η) at the true η over all rows),
    uncorrected and corrected. The uncorrected effects are
    marginal_effects(X), an average over the rows the fit kept, times their
    share of the rows: the rows of levels of a single outcome have the
    effect 0 at their limit, as the corrected effects count them."""
    rows = []
    for design, absorb in DESIGNS.items():
        rng = np.random.default_rng([seed, len(absorb)])
        results: dict[str, list[np.ndarray]] = {
            name: [] for name in ("b", "b~", "se", "d", "d~", "sd", "sd~", "true d")
        }
        start = time.perf_counter()
        skipped = 0
        for _ in range(panels):
            X, y, eta = panel(rng, firms, years, len(absorb) == 2, link)
            model = fit(X, y, absorb, True, link)
            if not hasattr(model, "coef_uncorrected_"):
                # Not corrected (the fit did not converge; it warned why).
                skipped += 1
                continue
            plain = fit(X, y, absorb, False, link)
            results["b"].append(model.coef_uncorrected_[0])
            results["b~"].append(model.coef_[0])
            results["se"].append(np.sqrt(np.diag(model.covariance_)))
            effects, corrected = plain.marginal_effects(X[["x1", "x2", *absorb]]), model.marginal_effects()
            kept = np.ones(len(y), dtype=bool)
            for column in absorb:
                kept &= np.isfinite(model.fixed_effects_[column].loc[X[column]].to_numpy())
            results["d"].append(kept.mean() * effects["dy/dx"].to_numpy())
            results["sd"].append(kept.mean() * effects["std err"].to_numpy())
            results["d~"].append(corrected["dy/dx"].to_numpy())
            results["sd~"].append(corrected["std err"].to_numpy())
            results["true d"].append(TRUTH * np.mean(LINKS[link][1](eta)))
        seconds = time.perf_counter() - start
        stacked = {name: np.array(values) for name, values in results.items()}
        truth = np.broadcast_to(TRUTH, stacked["b"].shape)
        rows += summarised(design, "slope", "uncorrected", stacked["b"], stacked["se"], truth)
        rows += summarised(design, "slope", "corrected", stacked["b~"], stacked["se"], truth)
        rows += summarised(design, "APE", "uncorrected", stacked["d"], stacked["sd"], stacked["true d"])
        rows += summarised(design, "APE", "corrected", stacked["d~"], stacked["sd~"], stacked["true d"])
        for row in rows[-8:]:
            row["panels"] = panels - skipped
        print(f"{design}: {panels} panels in {seconds:.1f} s ({skipped} not corrected)", flush=True)
    return rows


def timing(seed: int, repeats: int = 5) -> list[dict[str, object]]:
    """One fit of 10⁶ rows with and without the correction, the two
    alternating (a shared machine's load falls on both), the best of
    repeats each."""
    rows = []
    for design, absorb in DESIGNS.items():
        X, y, _ = panel(np.random.default_rng(seed), 125_000, 8, len(absorb) == 2)
        times = {False: np.inf, True: np.inf}
        for _ in range(repeats):
            for correct in (False, True):
                start = time.perf_counter()
                fit(X, y, absorb, correct)
                times[correct] = min(times[correct], time.perf_counter() - start)
        rows.append(
            {
                "absorbed": design,
                "uncorrected s": times[False],
                "corrected s": times[True],
                "ratio": times[True] / times[False],
            }
        )
        print(f"10^6 rows, {design}: {times[False]:.2f} s, corrected {times[True]:.2f} s", flush=True)
    return rows


def markdown(rows: list[dict[str, object]]) -> str:
    """A Markdown table of rows of equal keys, numbers to two decimals."""
    header = list(rows[0])
    cells = [[f"{v:.2f}" if isinstance(v, float) else str(v) for v in row.values()] for row in rows]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in cells])


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--panels", type=int, default=500)
    parser.add_argument("--firms", type=int, default=400)
    parser.add_argument("--years", type=int, default=8)
    parser.add_argument("--seed", type=int, default=2016)
    parser.add_argument(
        "--links", nargs="+", choices=sorted(LINKS), default=["logit"], help="of the data and fit"
    )
    parser.add_argument("--timing", action="store_true", help="also time one fit of 10^6 rows (logit)")
    parser.add_argument(
        "--output", type=Path, default=Path(__file__).parent / "results" / "bias_correction.md"
    )
    arguments = parser.parse_args()
    text = [
        "# Bias correction: Monte Carlo",
        "",
        f"`python bench/bias_correction_mc.py --panels {arguments.panels}"
        + ("" if arguments.links == ["logit"] else f" --links {' '.join(arguments.links)}")
        + (" --timing" if arguments.timing else "")
        + f"` (seed {arguments.seed}): {arguments.panels} panels of {arguments.firms} firms × "
        f"{arguments.years} years per design and link, true slopes 1.0 and -0.5, firm effects correlated "
        "with x1 (the design is in the script's docstring). Slopes' intervals: the estimate ± 1.96 × the "
        "uncorrected fit's standard error. Average partial effects (APE): the truth is the mean of β f(η) at "
        "the true η over all rows; uncorrected, marginal_effects(X) (standard errors given the levels) times "
        "the share of rows the fit kept (the rows of levels of one outcome have the effect 0 at their "
        "limit); corrected, marginal_effects() after the corrected fit, with its own standard errors.",
    ]
    for link in arguments.links:
        table = replicate(arguments.panels, arguments.firms, arguments.years, arguments.seed, link)
        text += ["", f"## {link.capitalize()}", "", markdown(table)]
    if arguments.timing:
        text += [
            "",
            "Cost of one fit of 10⁶ rows (125,000 firms × 8 years, two features), the best of five runs, "
            "one thread:",
            "",
            markdown(timing(arguments.seed)),
        ]
    arguments.output.write_text("\n".join(text) + "\n")
    print("\n".join(text))


if __name__ == "__main__":
    main()
