import pytest
from kestrine import Kestrine


@pytest.fixture
def db():
    return Kestrine()


@pytest.fixture
def col(db):
    db.create_collection("c", 3)
    return db


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Calls fn and checks the exception's exact type and message; returns the exception."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert info.value.args[0] == message
    return info.value
