"""Model test: random NVAR changes made through Python and the same changes
made through the quorstore tool leave byte-identical bundles, and both hold
exactly the values a plain dict of expected values says."""

from __future__ import annotations

import random
import shutil

import pytest

import quorstorage as qs
from conftest import bundle_bytes, cli_nvars, run_quorstore

STEPS = 12


def random_change(rng, infos):
    """1 to 3 NVARs with new values; now and then one a byte too long."""
    names = rng.sample(sorted(infos), rng.randint(1, 3))
    change = {}
    for name in names:
        limit = infos[name].max_size
        size = limit + 1 if rng.random() < 0.1 else rng.randint(0, min(limit, 80))
        change[name] = bytes(rng.getrandbits(8) for _ in range(size))
    return change


def apply_with_python(folder, change):
    with qs.Bundle.open(folder) as img:
        for name, value in change.items():
            img.nvars[name] = value
        img.commit()


def apply_with_tool(folder, change):
    # The tool refuses a value shorter than a full field unless asked; the
    # Python mapping stores any length that fits, like the library.
    args = [f"{name}:hex={value.hex()}" for name, value in change.items()]
    return run_quorstore("nvar", "set", folder, "--allow-short", *args, check=False)


@pytest.mark.parametrize("seed", [1, 2])
def test_python_and_tool_make_the_same_nvar_changes(demo_bundle, tmp_path, seed):
    rng = random.Random(seed)
    through_tool = tmp_path / "through-tool"
    shutil.copytree(demo_bundle, through_tool)
    with qs.Bundle.open(demo_bundle) as img:
        infos = {name: img.nvars.info(name) for name in img.nvars}
    infos = {name: info for name, info in infos.items() if info.modifiable}
    model = {name: info.value for name, info in infos.items()}

    for step in range(STEPS):
        change = random_change(rng, infos)
        too_long = [n for n, v in change.items() if len(v) > infos[n].max_size]
        result = apply_with_tool(through_tool, change)
        if too_long:
            with pytest.raises(qs.StorageTooLargeError) as caught:
                apply_with_python(demo_bundle, change)
            assert caught.value.code == 217
            assert result.returncode == 1, result.stderr
            assert "Invalid NVAR size" in result.stderr
        else:
            apply_with_python(demo_bundle, change)
            assert result.returncode == 0, result.stderr
            model.update(change)
        assert bundle_bytes(demo_bundle) == bundle_bytes(through_tool), f"step {step}: {change}"

    with qs.Bundle.open(demo_bundle) as img:
        assert {name: img.nvars[name] for name in model} == model
    tool_view = cli_nvars(through_tool)
    assert {name: tool_view[name] for name in model} == model
