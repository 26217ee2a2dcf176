"""The derivative of a formula's numeric factor in one variable, by the rules
of the transforms that have one: the variable itself, constants and the
formula's other variables, + - * /, a power with a constant exponent,
I(...), and the logarithms, exponentials, square and square root (np.log,
np.log2, np.log10, np.log1p, np.exp, np.exp2, np.expm1, np.sqrt, np.square,
and formulaic's own log, log2, log10, exp and exp2).

The factor's expression is read as Python (as formulaic evaluates it) and
carried forward as (value, derivative) pairs. Anything else (a stateful
transform such as center(x) or poly(x, 2), a function of our table's names
that the evaluation context defines otherwise, a power whose exponent moves
with the variable) has no rule here: the caller differentiates those terms
numerically through formulaic's evaluation. The caller also checks the value
carried forward against formulaic's own evaluation of the factor, so that a
name read differently here than there falls back rather than misleads."""

from __future__ import annotations

import ast
from collections.abc import Callable
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

_Array: TypeAlias = npt.NDArray[np.float64]
_Value: TypeAlias = _Array | float
# (value, derivative in the variable); a derivative of None is 0 (the
# expression does not move with the variable), and saves its arithmetic.
_Dual: TypeAlias = tuple[_Value, _Value | None]

_LN2 = float(np.log(2.0))
_LN10 = float(np.log(10.0))

# A function of one argument and its derivative, from the argument and the
# function's value there (the exponentials' derivatives are their values).
_FUNCTIONS: dict[str, tuple[Callable[[_Value], _Value], Callable[[_Value, _Value], _Value]]] = {
    "log": (np.log, lambda x, _: 1.0 / x),
    "log2": (np.log2, lambda x, _: 1.0 / (x * _LN2)),
    "log10": (np.log10, lambda x, _: 1.0 / (x * _LN10)),
    "log1p": (np.log1p, lambda x, _: 1.0 / (1.0 + x)),
    "exp": (np.exp, lambda _, value: value),
    "exp2": (np.exp2, lambda _, value: value * _LN2),
    "expm1": (np.expm1, lambda _, value: value + 1.0),
    "sqrt": (np.sqrt, lambda _, value: 0.5 / value),
    "square": (np.square, lambda x, _: 2.0 * x),
}
# The names formulaic's evaluation context gives these functions itself.
_FORMULAIC_FUNCTIONS = frozenset({"log", "log2", "log10", "exp", "exp2"})
_MODULES = frozenset({"np", "numpy"})


class _NoRule(Exception):
    """The expression has a part without a derivative rule here."""


def factor_derivative(
    expression: str, variable: str, lookup: Callable[[str], _Array | None]
) -> tuple[_Value, _Value] | None:
    """The value of the factor written as expression and its derivative in
    variable, on the rows lookup gives (a data variable's values as float64,
    or None for a name that is not one), or None when a part of it has no
    rule."""
    try:
        tree = ast.parse(expression, mode="eval")
    except SyntaxError:
        return None
    try:
        with np.errstate(divide="ignore", invalid="ignore"):
            value, derivative = _Forward(variable, lookup).dual(tree.body)
    except _NoRule:
        return None
    return value, 0.0 if derivative is None else derivative


class _Forward:
    """Forward differentiation of an expression tree in one variable."""

    def __init__(self, variable: str, lookup: Callable[[str], _Array | None]) -> None:
        self.variable = variable
        self.lookup = lookup

    def dual(self, node: ast.expr) -> _Dual:
        if isinstance(node, ast.Name):
            values = self.lookup(node.id)
            if values is None:
                raise _NoRule
            return values, (1.0 if node.id == self.variable else None)
        if isinstance(node, ast.Constant):
            if isinstance(node.value, bool) or not isinstance(node.value, (int, float)):
                raise _NoRule
            return float(node.value), None
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            value, derivative = self.dual(node.operand)
            if isinstance(node.op, ast.UAdd):
                return value, derivative
            return -value, (None if derivative is None else -derivative)
        if isinstance(node, ast.BinOp):
            return self._binary(node)
        if isinstance(node, ast.Call):
            return self._call(node)
        raise _NoRule

    def _binary(self, node: ast.BinOp) -> _Dual:
        a, da = self.dual(node.left)
        b, db = self.dual(node.right)
        if isinstance(node.op, (ast.Add, ast.Sub)):
            value = a + b if isinstance(node.op, ast.Add) else a - b
            if db is not None and isinstance(node.op, ast.Sub):
                db = -db
            return value, _added(da, db)
        if isinstance(node.op, ast.Mult):
            return a * b, _added(None if da is None else da * b, None if db is None else a * db)
        if isinstance(node.op, ast.Div):
            value = a / b
            # (a/b)' = a'/b - (a/b) b'/b
            return value, _added(None if da is None else da / b, None if db is None else -value * db / b)
        if isinstance(node.op, ast.Pow):
            # A constant exponent only: a**b with b moving with the variable
            # (or an exponent of every row) is left to the numeric fallback.
            if db is not None or not isinstance(b, float):
                raise _NoRule
            value = a**b
            if da is None or b == 0.0:
                return value, None
            return value, b * a ** (b - 1.0) * da
        raise _NoRule

    def _call(self, node: ast.Call) -> _Dual:
        if node.keywords or len(node.args) != 1 or isinstance(node.args[0], ast.Starred):
            raise _NoRule
        function = node.func
        if isinstance(function, ast.Name) and function.id == "I":
            return self.dual(node.args[0])
        if isinstance(function, ast.Attribute) and isinstance(function.value, ast.Name):
            name = function.attr if function.value.id in _MODULES else None
        elif isinstance(function, ast.Name):
            name = function.id if function.id in _FORMULAIC_FUNCTIONS else None
        else:
            name = None
        if name not in _FUNCTIONS:
            raise _NoRule
        forward, rule = _FUNCTIONS[name]
        x, dx = self.dual(node.args[0])
        value = forward(x)
        return value, (None if dx is None else rule(x, value) * dx)


def _added(a: _Value | None, b: _Value | None) -> _Value | None:
    if a is None:
        return b
    return a if b is None else a + b
