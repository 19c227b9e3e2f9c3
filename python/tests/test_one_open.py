"""The library holds one storage per process: the package refuses a second
open with StorageBusyError, frees the slot on close, and serialises calls
from several threads."""

from __future__ import annotations

import gc
import threading

import pytest

import quorstorage as qs
from conftest import DEMO_SKU, run_quorstore

HOSTNAME = "/home/net/hostname"


def openers(bundle, pieces):
    """Every kind of object that claims the library, by name."""
    return {
        "bundle": lambda: qs.Bundle.open(bundle),
        "storage": lambda: qs.Storage(pieces["ftbl.bin"], pieces["ostra.cfg"], DEMO_SKU,
                                      tool_cfg=pieces["tavc.cfg"], afs=pieces["mfs.bin"],
                                      efs=pieces["efs.bin"]),
        "region": lambda: qs.Region(pieces["ftbl.bin"], DEMO_SKU, afs=pieces["mfs.bin"]),
    }


KINDS = ["bundle", "storage", "region"]


@pytest.mark.parametrize("first", KINDS)
@pytest.mark.parametrize("second", KINDS)
def test_second_open_is_refused_until_the_first_closes(demo_bundle, demo_pieces, first, second):
    # The second object gets its own copies of the pieces.
    make_first = openers(demo_bundle, demo_pieces)[first]
    copies = {name: bytearray(data) for name, data in demo_pieces.items()}
    make_second = openers(demo_bundle, copies)[second]
    holder = make_first()
    with pytest.raises(qs.StorageBusyError) as caught:
        make_second()
    assert caught.value.code is None
    assert "close it first" in str(caught.value)
    holder.close()
    make_second().close()


def test_refused_open_leaves_the_open_storage_working(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        with pytest.raises(qs.StorageBusyError):
            qs.Bundle.open(demo_bundle)
        assert img.nvars[HOSTNAME] == b"quor-gw-lab"


def test_open_bundle_is_locked_against_the_tool(demo_bundle):
    with qs.Bundle.open(demo_bundle):
        result = run_quorstore("nvar", "set", demo_bundle, f"{HOSTNAME}=other", check=False)
        assert result.returncode != 0 and "lock" in result.stderr
    run_quorstore("nvar", "set", demo_bundle, f"{HOSTNAME}=other")


def test_failed_open_frees_the_slot(demo_bundle, tmp_path):
    with pytest.raises(qs.StorageError):
        qs.Bundle.open(tmp_path / "missing")
    qs.Bundle.open(demo_bundle).close()


def test_dropped_object_frees_the_slot(demo_bundle):
    img = qs.Bundle.open(demo_bundle)
    del img
    gc.collect()
    qs.Bundle.open(demo_bundle).close()


def test_threads_share_one_open_bundle(demo_bundle):
    """Calls from several threads are serialised on the library: every
    thread reads back exactly what it wrote into its own file."""
    errors = []
    with qs.Bundle.open(demo_bundle) as img:
        def worker(index):
            try:
                for round_ in range(50):
                    data = f"t{index}-{round_}".encode() * 20
                    img.afs.write(100 + index, data)
                    assert img.afs.read(100 + index) == data
                    assert img.nvars[HOSTNAME] == b"quor-gw-lab"
            except Exception as error:  # reported below with its thread
                errors.append((index, error))

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert errors == []
