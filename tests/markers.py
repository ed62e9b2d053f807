"""Skip helpers shared by the test modules.

`dev.py test` runs the suite a second time against the AddressSanitizer and
UndefinedBehaviorSanitizer build with QUARNEL_SANITIZED=1 and the sanitizer runtimes
preloaded into every process it starts. Memory figures (RSS) mean nothing there (the
sanitizer keeps freed memory in quarantine), and the checks of other programs (the
benchmark harness, say) have no module code of their own for the sanitizers to watch
and only run slower under the preload, so tests of that kind skip. (The linters, type
checkers and the C++ package are dev.py stages of their own, outside pytest.)
"""

from __future__ import annotations

import os

import pytest

SANITIZED = os.environ.get("QUARNEL_SANITIZED") == "1"

not_sanitized = pytest.mark.skipif(
    SANITIZED, reason="meaningless under the sanitizer build (QUARNEL_SANITIZED=1)"
)

# `dev.py test` runs the suite once per NumPy major: the checks of other programs do
# not depend on NumPy, so only the first run does them; later runs set
# QUARNEL_TOOLING_CHECKED=1.
TOOLING_CHECKED = os.environ.get("QUARNEL_TOOLING_CHECKED") == "1"

tooling = pytest.mark.skipif(
    SANITIZED or TOOLING_CHECKED,
    reason="tool checks run once, in the main NumPy 2 pass without the sanitizer",
)
