import sys
from pathlib import Path

import pytest

# Tests in every folder import the shared helpers (helpers/) and the demo's
# loader from here. Test files keep unique basenames across folders: pytest's
# default import mode names each module by its basename alone.
TESTS = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS / "helpers"))
sys.path.insert(0, str(TESTS.parent / "demo"))

from problems import logistic_problem  # noqa: E402


@pytest.fixture
def problem():
    return logistic_problem(200, 4, seed=1)
