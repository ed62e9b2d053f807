import pytest

from oddities import PanicException


@pytest.fixture
def panic():
    return PanicException
