"""Linear restrictions on the parameters, R β = q, for wald_test(): read
from text such as "GPA = TUCE, PSI = 1", or checked when given as a matrix
R and a vector q.

The text is read against the fit's own parameter names rather than by an
expression grammar's idea of a name: the names are a DataFrame's column
names and a categorical's "column[level]", which may hold spaces, brackets,
dots or operators, and a formula library would need them quoted. At every
place the longest parameter name that starts there is taken first, so
"educ[2] - educ[3] = 0" and "x 1 = 2 * x 2" read as meant; what is left is
numbers, + - * / ( ), = and the commas between restrictions.
"""

from __future__ import annotations

import itertools
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_OPERATORS = "+-*/=,()"
# A word that is no parameter name: reported as an unknown name.
_WORD = re.compile(r"[^\s" + re.escape(_OPERATORS) + r"]+")


@dataclass
class _Linear:
    """A linear expression cᵀβ + constant over the parameters."""

    coefficients: npt.NDArray[np.float64]
    constant: float

    def is_constant(self) -> bool:
        return not self.coefficients.any()


def restrictions_from_text(
    text: str, names: Sequence[str]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """R and q of the restrictions in text, one row per restriction: the
    restrictions are separated by commas, each an equation between linear
    expressions ("GPA = TUCE", "2 * GPA - TUCE / 2 = 3"); a chain a = b = c
    is two restrictions, and an expression without "=" is set to 0."""
    reader = _Reader(_tokens(text, names), names, text)
    rows: list[npt.NDArray[np.float64]] = []
    values: list[float] = []
    while True:
        sides = [reader.expression()]
        while reader.take("="):
            sides.append(reader.expression())
        if len(sides) == 1:
            sides.append(_Linear(np.zeros(len(names)), 0.0))
        for left, right in itertools.pairwise(sides):
            rows.append(left.coefficients - right.coefficients)
            values.append(right.constant - left.constant)
        if not reader.take(","):
            break
    reader.finish()
    return np.array(rows), np.array(values)


def checked_matrix(
    R: Any, q: Any, n_parameters: int, names: Sequence[str]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """R as an (m, n_parameters) float array (a vector is one restriction)
    and q as m values (None: zeros; a number: that value in every row).
    ValueError, with what was expected, for any other shape or a value that
    is not finite."""
    try:
        matrix = np.array(R, dtype=np.float64, ndmin=2)
        values = np.zeros(len(matrix)) if q is None else np.array(q, dtype=np.float64, ndmin=1)
    except (TypeError, ValueError) as error:
        raise ValueError(
            'wald_test() takes parameter names, restrictions as text ("GPA = TUCE, PSI = 1") or a '
            f"matrix R of numbers with a vector q: {error}"
        ) from error
    if matrix.ndim != 2 or matrix.shape[1] != n_parameters or len(matrix) == 0:
        raise ValueError(
            f"R must have one column per parameter ({n_parameters}: {list(names)}) and at least one row; "
            f"it has shape {matrix.shape}."
        )
    if values.shape == (1,):
        values = np.full(len(matrix), values[0])
    if values.shape != (len(matrix),):
        raise ValueError(f"q must have one value per row of R ({len(matrix)}); it has shape {values.shape}.")
    if not (np.isfinite(matrix).all() and np.isfinite(values).all()):
        raise ValueError("R and q must hold finite numbers only.")
    return matrix, values


def _tokens(text: str, names: Sequence[str]) -> list[tuple[str, Any, int]]:
    """(kind, value, position) for each token: "name" (its index), "number",
    or an operator."""
    by_length = sorted(range(len(names)), key=lambda index: -len(names[index]))
    tokens: list[tuple[str, Any, int]] = []
    position = 0
    while position < len(text):
        if text[position].isspace():
            position += 1
            continue
        index = next((i for i in by_length if _name_at(text, position, names[i])), None)
        if index is not None:
            tokens.append(("name", index, position))
            position += len(names[index])
            continue
        number = _NUMBER.match(text, position)
        if number and _ends_token(text, number.end()):
            tokens.append(("number", float(number.group()), position))
            position = number.end()
            continue
        if text[position] in _OPERATORS:
            tokens.append((text[position], None, position))
            position += 1
            continue
        word = _WORD.match(text, position)
        unknown = word.group() if word else text[position]
        raise ValueError(
            f"unknown parameter name(s) [{unknown!r}] in the restrictions {text!r} (at position "
            f"{position}); the parameters are {list(names)}"
        )
    return tokens


def _name_at(text: str, position: int, name: str) -> bool:
    """True when name stands at position as a whole token."""
    return bool(name) and text.startswith(name, position) and _ends_token(text, position + len(name))


def _ends_token(text: str, end: int) -> bool:
    """True when a name or number ending at end is followed by the end, a
    space or an operator (not by more of a word)."""
    return end == len(text) or text[end].isspace() or text[end] in _OPERATORS


class _Reader:
    """Recursive descent over the tokens: expression = term {± term},
    term = factor {*|/ factor}, factor = [±] (number | name | (expression)),
    where a product keeps at most one factor that is not a number and only a
    number divides, so that every expression stays linear."""

    def __init__(self, tokens: list[tuple[str, Any, int]], names: Sequence[str], text: str) -> None:
        self.tokens = tokens
        self.at = 0
        self.names = names
        self.text = text

    def take(self, kind: str) -> bool:
        if self.at < len(self.tokens) and self.tokens[self.at][0] == kind:
            self.at += 1
            return True
        return False

    def fail(self, what: str, token: int | None = None) -> ValueError:
        """The error of what is wrong at the token (the current one by default)."""
        token = self.at if token is None else token
        where = self.tokens[token][2] if token < len(self.tokens) else len(self.text)
        return ValueError(
            f"cannot read the restrictions {self.text!r} at position {where}: {what}. Write linear "
            "equations between parameter names and numbers, separated by commas, such as "
            '"GPA = TUCE, 2 * PSI - GPA = 1".'
        )

    def finish(self) -> None:
        if self.at < len(self.tokens):
            raise self.fail(f"unexpected {self.tokens[self.at][0]!r}")

    def expression(self) -> _Linear:
        result = self.term()
        while True:
            if self.take("+"):
                other = self.term()
                result = _Linear(result.coefficients + other.coefficients, result.constant + other.constant)
            elif self.take("-"):
                other = self.term()
                result = _Linear(result.coefficients - other.coefficients, result.constant - other.constant)
            else:
                return result

    def term(self) -> _Linear:
        result = self.factor()
        while True:
            operator = self.at
            if self.take("*"):
                other = self.factor()
                if not (result.is_constant() or other.is_constant()):
                    raise self.fail("a product of two parameters is not linear", operator)
                scale, linear = (result, other) if result.is_constant() else (other, result)
                result = _Linear(scale.constant * linear.coefficients, scale.constant * linear.constant)
            elif self.take("/"):
                other = self.factor()
                if not other.is_constant() or other.constant == 0.0:
                    raise self.fail("only a nonzero number can divide", operator)
                result = _Linear(result.coefficients / other.constant, result.constant / other.constant)
            else:
                return result

    def factor(self) -> _Linear:
        if self.take("-"):
            inner = self.factor()
            return _Linear(-inner.coefficients, -inner.constant)
        if self.take("+"):
            return self.factor()
        if self.take("("):
            inner = self.expression()
            if not self.take(")"):
                raise self.fail("a ( is not closed")
            return inner
        if self.at < len(self.tokens) and self.tokens[self.at][0] in ("name", "number"):
            kind, value, _ = self.tokens[self.at]
            self.at += 1
            coefficients = np.zeros(len(self.names))
            if kind == "name":
                coefficients[value] = 1.0
                return _Linear(coefficients, 0.0)
            return _Linear(coefficients, value)
        raise self.fail("a parameter name or a number is missing")
