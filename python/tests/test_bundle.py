"""Bundle: the demo bundle opened, read, changed, committed and read back."""

from __future__ import annotations

import json

import pytest

import quorstorage as qs
from conftest import DEMO_DESCRIPTION, bundle_bytes, cli_nvars, nvar_names_in, run_quorstore

HOSTNAME = "/home/net/hostname"
MTU = "/home/net/mtu"
REGION = "/home/mfg/region"  # EFS file 6


def test_round_trip_of_the_demo_bundle(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        assert img.sku == 17
        assert img.nvars[HOSTNAME] == b"quor-gw-lab"
        assert img.nvars.get_u32(MTU) == 1500
        img.nvars[HOSTNAME] = b"gw-7"
        img.nvars.set_u32(MTU, 9000)
        img.nvars[REGION] = b"EU"
        # A raw write reaches the file at once; the commit then writes every
        # NVAR's file from its value again.
        img.efs.write(REGION, b"raw")
        assert img.efs.read(6) == b"raw"
        written = img.commit()
        assert set(written) >= {"tavc.cfg", "mfs.bin", "efs.bin"}
        # The NVAR's AFS file holds the committed value at once.
        assert img.afs.read(HOSTNAME) == b"gw-7"

    with qs.Bundle.open(demo_bundle) as img:
        assert img.nvars[HOSTNAME] == b"gw-7"
        assert img.nvars.get_u32(MTU) == 9000
        assert img.efs.read(REGION) == img.efs.read(6) == b"EU"
    tool = cli_nvars(demo_bundle)
    assert tool[HOSTNAME] == b"gw-7"
    assert int.from_bytes(tool[MTU], "little") == 9000
    assert run_quorstore("fsck", demo_bundle).returncode == 0


def test_closing_without_commit_leaves_the_folder_unchanged(demo_bundle):
    before = bundle_bytes(demo_bundle)
    with qs.Bundle.open(demo_bundle) as img:
        img.nvars[HOSTNAME] = b"dropped"
        img.afs.write(16, b"dropped too")
        img.efs.delete(2)
    assert bundle_bytes(demo_bundle) == before


def test_commit_keeps_the_bundle_open_for_more_changes(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        img.nvars[HOSTNAME] = b"first"
        img.commit()
        img.nvars[HOSTNAME] = b"second"
        img.commit()
    assert cli_nvars(demo_bundle)[HOSTNAME] == b"second"


def test_nvar_mapping_lists_what_the_tool_lists(demo_bundle):
    listing = json.loads(run_quorstore("nvar", "list", demo_bundle, "--json").stdout)
    with qs.Bundle.open(demo_bundle) as img:
        names = list(img.nvars)
        assert names == [row["name"] for row in listing["nvars"]]
        assert len(img.nvars) == len(names)
        assert set(names) == set(nvar_names_in(DEMO_DESCRIPTION))
        assert HOSTNAME in img.nvars and "/no/such" not in img.nvars
        assert img.nvars.get("/no/such", b"dflt") == b"dflt"
        for row in listing["nvars"]:
            info = img.nvars.info(row["name"])
            assert (len(info.value), info.max_size, info.modifiable) == (
                row["size"], row["max_size"], row["modifiable"])


def test_typed_accessors_check_the_size(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        img.nvars.set_u16(HOSTNAME, 0x1234)
        assert img.nvars[HOSTNAME] == b"\x34\x12"
        assert img.nvars.get_u16(HOSTNAME) == 0x1234
        with pytest.raises(ValueError):
            img.nvars.get_u32(HOSTNAME)
        img.nvars.set_str(HOSTNAME, "gw-ü")
        assert img.nvars.get_str(HOSTNAME) == "gw-ü"
        img.nvars[HOSTNAME] = b""
        assert img.nvars[HOSTNAME] == b""


def test_vendor_and_tool_tables_are_read_only_views(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        # The description's default and tool value of the hostname.
        assert img.vendor_nvars[HOSTNAME] == b"quor-gw"
        assert img.tool_nvars[HOSTNAME] == img.nvars[HOSTNAME] == b"quor-gw-lab"
        with pytest.raises(TypeError):
            img.vendor_nvars[HOSTNAME] = b"x"
        with pytest.raises(TypeError):
            del img.nvars[HOSTNAME]


def test_files_by_name_and_by_index_agree(demo_bundle):
    # Listed first: the tool waits for no lock the open bundle holds.
    afs_listed = json.loads(run_quorstore("afs", "ls", demo_bundle, "--json").stdout)
    efs_listed = json.loads(run_quorstore("efs", "ls", demo_bundle, "--json").stdout)
    with qs.Bundle.open(demo_bundle) as img:
        assert img.afs.read(HOSTNAME) == img.afs.read(16) == b"quor-gw-lab"
        assert img.afs.size(HOSTNAME) == len(b"quor-gw-lab")
        assert img.afs.read(16, offset=5, length=2) == b"gw"
        buffer = bytearray(4)
        assert img.afs.read_into(16, memoryview(buffer)) == 4
        assert buffer == b"quor"
        assert img.afs.files() == {row["index"]: row["size"] for row in afs_listed["files"]}
        assert img.efs.files() == {row["index"]: row["size"] for row in efs_listed["files"]}


def test_help_documents_the_surface():
    doc = qs.Bundle.__doc__
    assert "commit()" in doc and "StorageBusyError" in doc
    assert "in place" in qs.Region.__doc__
    assert "Region(file_table, sku" in qs.Region.__doc__
    for method in (qs.Bundle.open, qs.Bundle.commit, qs.Storage.commit, qs.Region.dfs_read):
        assert method.__doc__, method
