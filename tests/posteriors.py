"""Posteriors made up for tests, in the container of the installed ArviZ
(InferenceData before 1.0, xarray's DataTree from 1.0)."""

import xarray as xr


def inference_data(**groups):
    """`groups` (name: Dataset, or name: {variable: (chain, draw, ...) array})
    as the installed ArviZ holds a sampler's output."""
    import arviz as az

    datasets = {name: group if isinstance(group, xr.Dataset) else xr.Dataset(
        {variable: (("chain", "draw") + tuple(f"{variable}_dim_{k}" for k in range(values.ndim - 2)), values)
         for variable, values in group.items()}) for name, group in groups.items()}
    if int(az.__version__.split(".")[0]) >= 1:
        return xr.DataTree.from_dict(datasets)
    return az.InferenceData(**datasets)


def has_group(idata, name):
    groups = idata.groups  # InferenceData: a method; DataTree: a tuple of paths
    return name in (groups() if callable(groups) else [path.strip("/") for path in groups])
