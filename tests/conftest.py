import pytest


@pytest.fixture(scope="session")
def simulated_data():
    """1000 trials from drift 1, boundary 1.5, t0 0.3 (seed 7)."""
    import corvatel

    choices, rts, _ = corvatel.simulate(1.0, 1.5, 0.5, 0.3, 1000, 7)
    return choices, rts
