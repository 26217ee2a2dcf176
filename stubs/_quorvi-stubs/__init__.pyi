from __future__ import annotations
import numpy
import numpy.typing
import typing
__all__: list[str] = ['check_arma', 'irls']

class IrlsResult(typing.TypedDict):
    """What irls returns: a new dict with these keys, in this order."""

    coefficients: numpy.typing.NDArray[numpy.float64]
    iterations: int
    time: float
    converged: bool

def check_arma() -> None:
    """
    Check armadillo info
    """
def irls(arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], arg1: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], arg2: typing.SupportsFloat, arg3: typing.SupportsInt, /) -> IrlsResult:
    """
    Run Iteratively Reweighted Least Squares (IRLS)
    """
