import numpy as np
import pytest

import _quarnel


def _panic_class():
    # PanicException is deliberately not a module attribute; get it from a fault.
    try:
        _quarnel.price_and_delta_constant_flow(np.zeros(1), np.zeros(1), 0.0, 1.0, "call")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("expected an internal fault")


PanicException = _panic_class()


@pytest.fixture
def panic():
    return PanicException
