import pickle
import subprocess
import sys

import pytest

import _corvatel
import corvatel


def test_public_names_in_order():
    assert _corvatel.__all__ == ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim"]
    assert corvatel.__all__ == ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim",
                                "set_num_threads", "get_num_threads",
                                "fit", "simulate_data", "recover", "recovery_summary",
                                "derive_seed", "datasets", "plot", "simulate_full", "wfpt_pdf", "wfpt_logpdf",
                                "fit_ml", "fit_ml_joint", "wfpt_cdf", "wfpt_logcdf", "wfpt_logpdf_grad",
                                "bounds_logpdf", "fit_hierarchical", "simulate_bounds"]
    assert _corvatel.__version__ == "0.1.0"
    assert _corvatel.__doc__ == ""
    # The likelihood functions are wrapped (broadcasting, named results).
    for name in ["__version__", "CorvatelError", "simulate", "fit_ez", "fit_sim", "simulate_full"]:
        assert getattr(corvatel, name) is getattr(_corvatel, name)


def test_error_type():
    err = _corvatel.CorvatelError
    assert err is corvatel.CorvatelError
    assert err.__bases__ == (ValueError,)
    assert err.__module__ == "corvatel"
    assert err.__name__ == err.__qualname__ == "CorvatelError"
    assert err.__doc__ == "Raised when parameter recovery fails on bad or degenerate input data."


def test_error_survives_pickle():
    original = corvatel.CorvatelError("accuracy is exactly 0.5")
    restored = pickle.loads(pickle.dumps(original))
    assert type(restored) is corvatel.CorvatelError
    assert restored.args == original.args


@pytest.mark.parametrize(
    "name, signature",
    [
        ("simulate", "(drift, boundary, start, t0, n, seed, noise_sd=1.0)"),
        ("fit_ez", "(choices, rts)"),
        ("fit_sim", "(choices, rts, initial_guess=None, max_iters=200)"),
    ],
)
def test_functions_describe_themselves(name, signature):
    function = getattr(_corvatel, name)
    assert function.__name__ == name
    assert function.__module__ == "_corvatel"
    assert function.__text_signature__ == signature
    assert function.__doc__.startswith(f"{name}{signature}")


def test_simulate_doc_text():
    assert _corvatel.simulate.__doc__ == (
        "simulate(drift, boundary, start, t0, n, seed, noise_sd=1.0)\n"
        "\n"
        "Simulate `n` drift-diffusion trials. Returns `(choices, rts, n_excluded)`:\n"
        "\n"
        "* `choices` \u2014 `np.ndarray` of `bool`, `True` if the trial hit the upper\n"
        "  boundary;\n"
        "* `rts` \u2014 `np.ndarray` of `float64`, response times in seconds;\n"
        "* `n_excluded` \u2014 how many trials hit the 10 s simulation cap and were\n"
        "  dropped from both arrays (their choice/RT are unreliable).\n"
        "\n"
        "The two arrays are built in one pass over the filtered trials \u2014 no\n"
        "intermediate Python objects."
    )


def test_import_does_not_import_numpy():
    code = "import sys, _corvatel; assert 'numpy' not in sys.modules; print('ok')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def test_wheel_is_stable_abi():
    assert _corvatel.__file__.endswith(".abi3.so")


def dynamic_symbols(path):
    """Names of the defined symbols in an ELF file's dynamic symbol table."""
    import struct

    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "expects a 64-bit little-endian ELF"
    shoff, shentsize, shnum = struct.unpack_from("<Q", data, 0x28)[0], *struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    (dynsym,) = [s for s in sections if s[1] == 11]  # SHT_DYNSYM
    strtab = sections[dynsym[6]]
    names = []
    for offset in range(dynsym[4], dynsym[4] + dynsym[5], dynsym[9]):
        name, info, _, shndx = struct.unpack_from("<IBBH", data, offset)
        if shndx != 0 and info & 0xF != 3:  # defined, not a section symbol
            end = data.index(b"\0", strtab[4] + name)
            names.append(data[strtab[4] + name : end].decode())
    return sorted(n for n in names if n)


def test_module_exports_only_its_init_function_and_the_samplers():
    # The C function that compiled samplers call by name is the one other.
    assert dynamic_symbols(_corvatel.__file__) == ["PyInit__corvatel", "corvatel_sampler_log_densities"]
