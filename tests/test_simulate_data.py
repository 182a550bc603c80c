import numpy as np
import pandas as pd
import pytest

import corvatel

TRUTH = pd.DataFrame({"subject": ["a", "b", "c"], "drift": [1.0, -0.5, 2.0], "boundary": [1.5, 1.0, 2.0],
                      "start": [0.5, 0.4, 0.6], "t0": [0.3, 0.2, 0.25], "noise_sd": [1.0, 1.2, 0.8]})


def test_derive_seed_is_the_documented_rule():
    for seed, path in [(0, (0,)), (7, (3,)), (2**64 - 1, (5, 2))]:
        expected = np.random.SeedSequence(seed, spawn_key=path).generate_state(1, np.uint64)[0]
        assert corvatel.derive_seed(seed, *path) == int(expected)
    assert corvatel.derive_seed(1, 0) != corvatel.derive_seed(1, 1) != corvatel.derive_seed(2, 1)


def test_row_i_is_simulate_with_the_derived_seed():
    table = corvatel.simulate_data(TRUTH, 300, 42)
    assert list(table.columns) == ["subject", "trial", "choice", "rt"]
    assert table["choice"].dtype == bool and table["rt"].dtype == np.float64
    for i, row in TRUTH.iterrows():
        choices, rts, excluded = corvatel.simulate(row["drift"], row["boundary"], row["start"], row["t0"], 300,
                                                   corvatel.derive_seed(42, i), row["noise_sd"])
        part = table[table["subject"] == row["subject"]]
        np.testing.assert_array_equal(part["choice"].to_numpy(), choices)
        assert part["rt"].to_numpy().tobytes() == rts.tobytes()
        assert part["trial"].tolist() == list(range(len(rts)))
        assert table.attrs["n_excluded"][i] == excluded


def test_adding_a_row_leaves_the_others_unchanged():
    two = corvatel.simulate_data(TRUTH.iloc[:2], 200, 5)
    three = corvatel.simulate_data(TRUTH, 200, 5)
    pd.testing.assert_frame_equal(three[three["subject"] != "c"].reset_index(drop=True), two)


def test_mapping_and_timeouts_reach_the_user():
    # No drift, a wide band and little noise: most walks are still inside at 10 s.
    slow = {"drift": 0.0, "boundary": 4.0, "start": 0.5, "t0": 0.1, "noise_sd": 0.2}
    table = corvatel.simulate_data(slow, 50, 3)
    choices, _, excluded = corvatel.simulate(0.0, 4.0, 0.5, 0.1, 50, corvatel.derive_seed(3, 0), 0.2)
    assert excluded > 0 and table.attrs["n_excluded"] == [excluded]
    assert len(table) == 50 - excluded and list(table.columns) == ["trial", "choice", "rt"]


def test_unlabelled_sets_get_their_position():
    table = corvatel.simulate_data(TRUTH.drop(columns="subject"), 10, 1)
    assert list(table.columns[:2]) == ["param_set", "trial"]
    assert table["param_set"].tolist() == [0] * 10 + [1] * 10 + [2] * 10


@pytest.mark.parametrize("dtype", [object, "category"])
def test_numbers_in_an_object_or_categorical_column_are_read_as_numbers(dtype):
    # A table built row by row holds Python floats under object dtype; a
    # file's dictionary-encoded column reads as categorical (once refused
    # as "must hold numbers", listing numbers).
    as_other = TRUTH.astype({"drift": dtype})
    pd.testing.assert_frame_equal(corvatel.simulate_data(as_other, 20, 3), corvatel.simulate_data(TRUTH, 20, 3))


# Subject "c" (drift 2.0) answers every trial correctly: fit warns that it is flagged.
@pytest.mark.filterwarnings(r"ignore:\d+ of \d+ groups flagged:UserWarning")
def test_table_reads_back_into_fit():
    table = corvatel.simulate_data(TRUTH, 400, 9)
    fits = corvatel.fit(table, by="subject", method="ez")
    assert fits["subject"].tolist() == ["a", "b", "c"] and fits["n_valid"].tolist() == [400] * 3


@pytest.mark.parametrize("params, n, seed, error, message", [
    ({"drift": 1.0, "boundary": 1.0, "start": 0.5}, 10, 0, ValueError, "params lacks 't0'; it has columns"),
    (TRUTH.assign(boundary=[1.0, 0.0, -1.0]), 10, 0, ValueError,
     "params column 'boundary' must be positive (rows 1, 2: 0.0, -1.0)"),
    (TRUTH.assign(start=[0.5, 1.5, 0.5]), 10, 0, ValueError, "params column 'start' must be between 0 and 1"),
    (TRUTH.assign(t0=[0.1, np.nan, 0.1]), 10, 0, ValueError, "params column 't0' must be non-negative"),
    (TRUTH.assign(drift=["x", 1, 2]), 10, 0, ValueError, "params column 'drift' must hold numbers"),
    (TRUTH.iloc[:0], 10, 0, ValueError, "params has no rows"),
    (pd.concat([TRUTH, TRUTH[["drift"]]], axis=1), 10, 0, ValueError,
     "params: column 'drift' appears 2 times in the table; rename or drop the copies"),
    (pd.concat([TRUTH, TRUTH[["subject"]]], axis=1), 10, 0, ValueError,
     "params: column 'subject' appears 2 times"),
    (TRUTH.assign(rt=1), 10, 0, ValueError, "params: column 'rt' has the name of a result column"),
    ([1, 2], 10, 0, TypeError, "params must be a mapping"),
    (TRUTH.set_axis(pd.MultiIndex.from_product([TRUTH.columns, ["x"]]), axis=1), 10, 0, ValueError,
     "params must have one level of column names, not 2"),
    (TRUTH, 0, 0, ValueError, "n must be a positive integer, not 0"),
    (TRUTH, 1.5, 0, TypeError, "n must be a positive integer"),
    (TRUTH, 10, -1, ValueError, "seed must be an integer from 0 to 2**64 - 1, not -1"),
    (TRUTH, 10, 2**64, ValueError, "seed must be an integer from 0 to 2**64 - 1"),
    # More trials than an array can index: NumPy's "Maximum allowed dimension exceeded".
    (TRUTH, 2**62, 0, MemoryError, "simulate_data: 3 parameter rows x n=4611686018427387904 trials need more memory"),
])
def test_bad_arguments(params, n, seed, error, message):
    with pytest.raises(error) as info:
        corvatel.simulate_data(params, n, seed)
    assert message in str(info.value)
