"""Region and Storage: the library's calls on pieces kept in memory, with
the regions changed in place."""

from __future__ import annotations

import array

import pytest

import quorstorage as qs
from conftest import DEMO_SKU

HOSTNAME = "/home/net/hostname"


@pytest.fixture
def region(demo_pieces):
    with qs.Region(demo_pieces["ftbl.bin"], DEMO_SKU, afs=demo_pieces["mfs.bin"],
                   efs=demo_pieces["efs.bin"]) as opened:
        yield opened


def test_region_reads_what_the_bundle_holds(region, demo_bundle):
    assert region.afs_mounted and region.efs_mounted
    with_region = {i: region.afs_readfile(i) for i in (1, 16, 17, 18)}
    with_region_efs = {i: region.EFS_read(i) for i in range(10)}
    region.close()
    with qs.Bundle.open(demo_bundle) as img:
        assert with_region == {i: img.afs.read(i) for i in with_region}
        assert with_region_efs == {i: img.efs.read(i) for i in range(10)}


def test_dfs_numbers_route_to_both_file_systems(region):
    number = region.path_to_file_number("/home/mfg/region")
    assert number == 6 | 0x1000
    assert region.dfs_read(number) == region.EFS_read(6)
    assert region.dfs_read(region.path_to_file_number(HOSTNAME)) == region.afs_readfile(16)
    assert region.dfs_getsize(16) == region.afs_getfilesize(16) == len(b"quor-gw-lab")


def test_reads_at_offsets_and_into_buffers(region):
    assert region.dfs_read(16, offset=5) == b"gw-lab"
    assert region.dfs_read(16, offset=5, length=2) == b"gw"
    assert region.afs_readfile(16, offset=8) == b"lab"
    target = bytearray(b"........")
    assert region.dfs_read_into(16, memoryview(target)[2:6], offset=5) == 4
    assert target == b"..gw-l.."
    words = array.array("H", [0, 0])  # any writable contiguous buffer
    assert region.EFS_read_into(6, words) == len(region.EFS_read(6))


def test_writes_change_the_caller_buffer_in_place(demo_pieces):
    afs = demo_pieces["mfs.bin"]
    before = bytes(afs)
    with qs.Region(demo_pieces["ftbl.bin"], DEMO_SKU, afs=memoryview(afs)) as region:
        region.dfs_write(16, b"written")
        region.afs_writefile(40, bytearray(b"second"))
        assert region.dfs_read(16) == b"written"
        # The writes live in the bytearray itself; no copy was mounted.
        assert bytes(afs) != before
    # A fresh mount of the same bytes sees them.
    with qs.Region(demo_pieces["ftbl.bin"], DEMO_SKU, afs=bytearray(afs)) as again:
        assert again.dfs_read(16) == b"written"
        assert again.afs_readfile(40) == b"second"


def test_write_flags_choose_truncation(region):
    region.dfs_write(16, b"abcdef")
    region.dfs_write(16, b"XY", offset=1, flags=0)  # keeps the rest
    assert region.dfs_read(16) == b"aXYdef"
    region.dfs_write(16, b"Z", offset=2)  # the default ends the file
    assert region.dfs_read(16) == b"aXZ"


def test_deletes_in_both_file_systems(region):
    region.dfs_delete_file(16)
    with pytest.raises(qs.StorageNotFoundError):
        region.dfs_getsize(16)
    region.afs_deletefile(17)
    with pytest.raises(qs.StorageNotFoundError):
        region.afs_readfile(17)
    region.EFS_delete(6)
    with pytest.raises(qs.StorageNotFoundError):
        region.EFS_read(6)


def test_open_region_keeps_its_buffers_from_resizing(demo_pieces):
    afs = demo_pieces["mfs.bin"]
    region = qs.Region(demo_pieces["ftbl.bin"], DEMO_SKU, afs=afs)
    with pytest.raises(BufferError):
        afs.append(0)
    region.close()
    afs.append(0)  # released on close


def test_storage_commit_returns_the_tool_partition(demo_pieces, demo_bundle):
    """Storage on in-memory pieces commits into the regions like a bundle
    commit does into the folder: same tool partition, same regions."""
    afs, efs = demo_pieces["mfs.bin"], demo_pieces["efs.bin"]
    with qs.Storage(demo_pieces["ftbl.bin"], demo_pieces["ostra.cfg"], DEMO_SKU,
                    tool_cfg=demo_pieces["tavc.cfg"], afs=afs, efs=efs) as storage:
        assert storage.nvar_get(HOSTNAME) == b"quor-gw-lab"
        storage.nvar_set(HOSTNAME, memoryview(b"xxgw-9xx")[2:6])
        value, max_size, modifiable = storage.nvar_info(HOSTNAME)
        assert (value, max_size, modifiable) == (b"gw-9", 64, True)
        partition = storage.commit()
        assert storage.dfs_read(16) == b"gw-9"
        committed_afs, committed_efs = bytes(afs), bytes(efs)

    with qs.Bundle.open(demo_bundle) as img:
        img.nvars[HOSTNAME] = b"gw-9"
        img.commit()
    assert partition == (demo_bundle / "tavc.cfg").read_bytes()
    assert committed_afs == (demo_bundle / "mfs.bin").read_bytes()
    assert committed_efs == (demo_bundle / "efs.bin").read_bytes()


def test_storage_without_regions_reads_the_tables(demo_pieces):
    with qs.Storage(demo_pieces["ftbl.bin"], demo_pieces["ostra.cfg"], DEMO_SKU,
                    tool_cfg=bytes(demo_pieces["tavc.cfg"])) as storage:
        assert not storage.afs_mounted and not storage.efs_mounted
        assert storage.nvar_get(HOSTNAME, qs.TABLE_VENDOR) == b"quor-gw"
        assert storage.nvar_get(HOSTNAME, qs.TABLE_TOOL) == b"quor-gw-lab"
        with pytest.raises(qs.StorageError) as caught:
            storage.dfs_read(16)
        assert caught.value.code == 323
