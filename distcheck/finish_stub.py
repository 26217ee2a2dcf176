"""Completes the stub that pybind11-stubgen makes of _quorvi, in place:

- pybind11 names unnamed parameters arg0, arg1, ... and accepts them by
  position only, but prints no "/" in the signature (it does so only for
  py::pos_only), so the generator cannot know: the marker is added to every
  function whose parameters are all unnamed.
- irls returns a plain dict at run time (its signature says "-> dict"); the
  stub names its four keys and their types, so that a type checker knows
  result["iterations"] is an int. IrlsResult exists only in the stub.
"""

import re
import sys
from pathlib import Path

IRLS_RESULT = '''
class IrlsResult(typing.TypedDict):
    """What irls returns: a new dict with these keys, in this order."""

    coefficients: numpy.typing.NDArray[numpy.float64]
    iterations: int
    time: float
    converged: bool
'''


def main(path: Path) -> None:
    text = path.read_text()
    text = re.sub(r"^(def [A-Za-z_]+\(arg0: .*)\) ->", r"\1, /) ->", text, flags=re.MULTILINE)
    text, replaced = re.subn(r"^(def irls\(.*\)) -> dict:", r"\1 -> IrlsResult:", text, flags=re.MULTILINE)
    if replaced != 1 or "\nimport typing\n" not in text:
        sys.exit(f"{path}: not the stub this script completes")
    text = text.replace(
        "__all__: list[str] = ['check_arma', 'irls']",
        "__all__: list[str] = ['check_arma', 'irls']\n" + IRLS_RESULT,
        1,
    )
    path.write_text(text)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
