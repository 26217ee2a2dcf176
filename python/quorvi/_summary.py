"""The printed report of a fitted LogisticRegression: a header of fit
statistics, the coefficient table, and notes on what the numbers mean."""

from __future__ import annotations

import html
import itertools
import math
import textwrap
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._inference import COLUMNS

if TYPE_CHECKING:
    from ._results import FitResults

WIDTH = 78

WEIGHTS_NOTE = (
    "n is the sum of the frequency weights: a weight of m counts a row as m observations, so "
    "standard errors shrink as 1/sqrt(n). Normalised or 'balanced' weights rescale every "
    "standard error; for inference, pass weights that count observations."
)


class Summary:
    """The report that ``LogisticRegression.summary()`` returns.

    Print it, or take its text with ``str()``; notebooks show it as
    preformatted text.

    Parameters
    ----------
    text : str
        The report.
    """

    def __init__(self, text: str) -> None:
        self.text = text

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return self.text

    def _repr_html_(self) -> str:
        return f"<pre>{html.escape(self.text)}</pre>"


def number(value: float) -> str:
    """Four decimals; a value too large or too small for them in
    scientific notation with four decimals of its mantissa."""
    if math.isnan(value):
        return "nan"
    if value == 0 or 1e-4 <= abs(value) < 1e9:
        return f"{value:.4f}"
    return f"{value:.4e}"


def p_value(value: float) -> str:
    """Four decimals, or the value itself below 0.0001 (where four decimals
    would show 0)."""
    if math.isnan(value) or value >= 1e-4:
        return number(value)
    return f"{value:.2e}"


def count(value: float) -> str:
    """A count of observations: an integer when it is one (weights that
    count rows), else the sum itself."""
    return str(int(value)) if float(value).is_integer() else f"{value:.10g}"


def _label(value: Any) -> str:
    """A class label as Python shows it (1.0, 'yes'), not as NumPy's repr."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def _pairs(left: list[tuple[str, str]], right: list[tuple[str, str]]) -> list[str]:
    """Two columns of 'label: value' lines, each value right-aligned."""
    half = (WIDTH - 4) // 2
    lines = []
    # The shorter column is filled with empty lines.
    for (left_label, left_value), (right_label, right_value) in itertools.zip_longest(
        left, right, fillvalue=("", "")
    ):
        left_text = f"{left_label:<{half - len(left_value)}}{left_value}"
        right_text = f"{right_label:<{half - len(right_value)}}{right_value}"
        lines.append(f"{left_text}    {right_text}".rstrip())
    return lines


def summary_text(
    results: FitResults, columns: list[npt.NDArray[np.float64]], ratio: str | None = None
) -> str:
    """The report of a fit's results, with the coefficient table's columns
    (COLUMNS) as coefficient_columns gives them; with a ratio's name, exp()
    of the coefficients under it (_inference.exponentiated)."""
    names = results.names
    classes = results.classes
    statistics = results.statistics
    left = [
        ("Model:", results.link.model_name),
        ("Covariance type:", results.cov_type),
        ("Converged:", str(results.converged)),
        ("Iterations:", str(results.n_iter)),
        ("Log-likelihood:", number(statistics.log_likelihood)),
        ("Null log-likelihood:", number(statistics.null_log_likelihood)),
        ("AIC:", number(statistics.aic)),
    ]
    absorption = results.absorption
    if absorption is not None:
        # Each absorbed column with its levels (those with rows in the fit).
        left.extend(
            ("Absorbed:" if index == 0 else "", f"{column.name} ({column.kept_levels} levels)")
            for index, column in enumerate(absorption.columns)
        )
    right = [
        ("Observations (sum of weights):", count(statistics.n_obs)),
        ("Df model:", str(statistics.df_model)),
        ("Df residuals:", count(statistics.df_resid)),
        ("Pseudo R-squared (McFadden):", number(statistics.pseudo_r2)),
        (f"LR chi2({statistics.df_model}):", number(statistics.lr_statistic)),
        ("Prob > chi2:", p_value(statistics.lr_pvalue)),
        ("BIC:", number(statistics.bic)),
    ]
    if results.formula is not None:
        # Beside n, the rows of the data the fit left out (R's na.omit
        # count, statsmodels' nobs less than the data's rows).
        right.insert(1, ("Rows dropped (missing values):", str(results.n_dropped_rows)))
    name_width = max(12, *(len(name) for name in names))
    headers = [ratio or COLUMNS[0], *COLUMNS[1:]]
    # Each column 11 wide, the first wider for a long name ("hazard ratio").
    widths = [max(11, len(headers[0]) + 1), *[11] * (len(COLUMNS) - 1)]
    table_width = name_width + sum(widths)
    width = max(WIDTH, table_width)
    title = "quorvi.LogisticRegression results"
    lines = [
        f"{title:^{width}}".rstrip(),
        "=" * width,
        f"Dependent: P(y = {_label(classes[1])}), against y = {_label(classes[0])}",
        *_pairs(left, right),
        "=" * width,
        " " * name_width
        + "".join(f"{column:>{width}}" for column, width in zip(headers, widths, strict=True)),
        "-" * width,
    ]
    formats = [number, number, number, p_value, number, number]
    dropped = [str(name) for name in results.dropped_features]
    # The note on dropped features follows the weights note: it is note [2].
    dropped_mark = "(dropped: linearly dependent [2])"
    for row, name in enumerate(names):
        if name in dropped:
            # Not estimated, so no number at all (R prints NA): a 0 would read
            # as an estimate of zero.
            cells = f"{dropped_mark:>{sum(widths)}}"
        else:
            cells = "".join(
                f"{format_(float(column[row])):>{width}}"
                for format_, column, width in zip(formats, columns, widths, strict=True)
            )
        lines.append(f"{name:<{name_width}}{cells}")
    lines.append("=" * width)
    notes = [WEIGHTS_NOTE]
    if dropped:
        notes.append(
            "Dropped as linearly dependent on the other features, so not estimated (NaN in coef_table(); "
            f"coef_ holds 0 for them so that predictions work): {', '.join(dropped)}."
        )
    if ratio is not None:
        notes.append(
            f"{ratio} = exp(coef) (the intercept's row: its exp(), the baseline); its std err is exp(coef) "
            "times the coefficient's (the delta method, as Stata prints it); z and P>|z| are the "
            "coefficient's (the test of a ratio of 1), and the interval is exp() of the coefficient's."
        )
    if absorption is not None:
        notes.append(absorption.summary_note(results.cov_type))
        if absorption.bias_correction is not None:
            from ._bias_correction import summary_note

            notes.append(summary_note(absorption.names))
    if results.link.name != "logit":
        notes.append(
            "The covariance is built on the observed information (the negative Hessian of the "
            "log-likelihood), as Stata's probit and statsmodels' Probit report it."
            if results.information == "observed"
            else "The covariance is built on the expected (Fisher) information, as R's glm and "
            "statsmodels' GLM report it."
        )
    clipped = results.clipped_eigenvalues
    if len(clipped):
        notes.append(
            "The two-way cluster covariance V_A + V_B - V_(A and B) was not positive semi-definite: "
            f"its eigenvalue(s) {', '.join(f'{value:.4g}' for value in clipped)} were set to 0 "
            "in the unit-free D^-1/2 V D^-1/2, D the diagonal of V_A + V_B + V_(A and B) (Cameron, "
            "Gelbach and Miller 2011), and the standard errors are those of the corrected "
            "matrix."
        )
    if results.is_penalised:
        notes.append(
            f"Ridge penalty C={results.C}: the coefficients are shrunk towards 0 and the covariance is "
            "that of the penalised fit, so the p-values are not valid tests."
        )
    if not results.converged:
        notes.append("The fit did not converge: the numbers above are those of its last update.")
    for index, note in enumerate(notes, start=1):
        lines.extend(textwrap.wrap(note, width, initial_indent=f"[{index}] ", subsequent_indent="    "))
    return "\n".join(lines)
