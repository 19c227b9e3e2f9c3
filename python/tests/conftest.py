"""Shared fixtures: the demo bundle, its pieces in memory, the quorstore tool."""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
from typing import Dict, List

import pytest

import quorstorage as qs

SOURCE_DIR = pathlib.Path(os.environ.get("QUOR_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
DEMO_DESCRIPTION = SOURCE_DIR / "examples" / "demo.json"
PIECES = ("ftbl.bin", "ostra.cfg", "tavc.cfg", "mfs.bin", "efs.bin")
DEMO_SKU = 17


def quorstore_binary() -> str:
    path = os.environ.get("QUORSTORE")
    if not path:
        pytest.skip("QUORSTORE (the built quorstore tool) is not set; run through ctest")
    return path


def run_quorstore(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    """Runs the quorstore tool; output as text."""
    return subprocess.run([quorstore_binary(), *map(str, args)], capture_output=True,
                          text=True, check=check)


def bundle_bytes(folder: pathlib.Path) -> Dict[str, bytes]:
    """Every file of a bundle folder by name."""
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def cli_nvars(folder: pathlib.Path) -> Dict[str, bytes]:
    """Every NVAR's current value as the tool reads it."""
    listing = json.loads(run_quorstore("nvar", "list", folder, "--json").stdout)
    values = {}
    for row in listing["nvars"]:
        got = json.loads(run_quorstore("nvar", "get", folder, row["name"], "--json").stdout)
        values[row["name"]] = bytes.fromhex(got["hex"])
    return values


@pytest.fixture(scope="session")
def demo_template(tmp_path_factory) -> pathlib.Path:
    """The demo bundle, built once by the tool; tests work on copies."""
    folder = tmp_path_factory.mktemp("template") / "demo"
    run_quorstore("mkimage", DEMO_DESCRIPTION, "-o", folder)
    return folder


@pytest.fixture
def demo_bundle(demo_template, tmp_path) -> pathlib.Path:
    """A fresh copy of the demo bundle in this test's folder."""
    folder = tmp_path / "demo"
    shutil.copytree(demo_template, folder)
    return folder


@pytest.fixture
def demo_pieces(demo_template) -> Dict[str, bytearray]:
    """The demo bundle's pieces as bytearrays."""
    return {name: bytearray((demo_template / name).read_bytes()) for name in PIECES}


@pytest.fixture(autouse=True)
def nothing_left_open():
    """Every test must close what it opens: the library holds one storage
    per process, and a leak would fail the next test with StorageBusyError."""
    yield
    # Opening a Region on nothing claims the library briefly when it is free.
    try:
        probe = qs.Region(b"", 0)
    except qs.StorageBusyError:
        pytest.fail("a storage was left open by this test")
    except qs.StorageError:
        return
    probe.close()


def nvar_names_in(description: pathlib.Path) -> List[str]:
    return [n["name"] for n in json.loads(description.read_text())["nvars"]]
