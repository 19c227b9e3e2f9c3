"""Every way an operation fails: the exception class, the catalogue code and
text, the status, and the report that reaches logging."""

from __future__ import annotations

import logging

import pytest

import quorstorage as qs

HOSTNAME = "/home/net/hostname"
MTU = "/home/net/mtu"
READ_ONLY = "/home/sys/model_family"


def expect(error_class, code, action, *, status=None, detail_part=""):
    with pytest.raises(error_class) as caught:
        action()
    error = caught.value
    assert type(error) is error_class, repr(error)
    assert error.code == code, repr(error)
    assert error.status == status, repr(error)
    assert detail_part in error.detail, repr(error)
    if code is not None:
        assert error.text, "a catalogue code comes with its text"
        assert error.text.rstrip(".") in str(error)
    return error


# (exception, catalogue code, status, detail fragment, action on an open bundle)
OPEN_BUNDLE_CASES = [
    pytest.param(qs.StorageNotFoundError, 38, None, "/no/such",
                 lambda img: img.nvars["/no/such"], id="unknown-nvar"),
    pytest.param(qs.StorageNotFoundError, 38, None, "/no/such",
                 lambda img: img.nvars.__setitem__("/no/such", b"x"), id="set-unknown-nvar"),
    pytest.param(qs.StorageTooLargeError, 217, None, "maximum size 4",
                 lambda img: img.nvars.__setitem__(MTU, b"12345"), id="nvar-too-large"),
    pytest.param(qs.StorageError, 346, None, "read-only",
                 lambda img: img.nvars.__setitem__(READ_ONLY, b"x"), id="read-only-nvar"),
    pytest.param(qs.StorageNotFoundError, 336, 2, "AFS file",
                 lambda img: img.storage.afs_getfilesize(200), id="afs-no-file"),
    pytest.param(qs.StorageNotFoundError, 336, 2, "DFS file",
                 lambda img: img.afs.read(200), id="dfs-no-file"),
    pytest.param(qs.StorageTooLargeError, 99, 34, "EFS file 6",
                 lambda img: img.efs.write(6, b"x" * 5), id="efs-write-too-large"),
    pytest.param(qs.StorageError, 99, 22, "EFS file 900",
                 lambda img: img.efs.write(900, b"x"), id="efs-not-in-layout"),
    pytest.param(qs.StorageNotFoundError, 38, 2, "/home/none",
                 lambda img: img.storage.path_to_file_number("/home/none"),
                 id="path-not-in-table"),
]


@pytest.mark.parametrize("error_class, code, status, detail, action", OPEN_BUNDLE_CASES)
def test_refused_operations_on_an_open_bundle(demo_bundle, error_class, code, status, detail,
                                              action):
    with qs.Bundle.open(demo_bundle) as img:
        expect(error_class, code, lambda: action(img), status=status, detail_part=detail)
        # The refusal leaves the storage usable.
        assert img.nvars[HOSTNAME] == b"quor-gw-lab"


def test_not_found_is_also_a_key_error(demo_bundle):
    with qs.Bundle.open(demo_bundle) as img:
        with pytest.raises(KeyError):
            img.nvars["/no/such"]


def test_missing_bundle_folder(tmp_path):
    expect(qs.StorageError, 34, lambda: qs.Bundle.open(tmp_path / "nothing"),
           detail_part="nothing")


def test_truncated_piece(demo_bundle):
    piece = demo_bundle / "ostra.cfg"
    piece.write_bytes(piece.read_bytes()[:-1])
    expect(qs.StorageError, 34, lambda: qs.Bundle.open(demo_bundle), detail_part="ostra.cfg")


@pytest.mark.parametrize("piece", ["mfs.bin", "efs.bin", "ostra.cfg"])
def test_piece_that_fails_its_checksum(demo_bundle, piece):
    path = demo_bundle / piece
    data = bytearray(path.read_bytes())
    data[len(data) // 3] ^= 0x01
    path.write_bytes(bytes(data))
    expect(qs.StorageDamagedError, 398, lambda: qs.Bundle.open(demo_bundle),
           detail_part=f"{piece}: damaged")


def open_storage(pieces):
    return qs.Storage(pieces["ftbl.bin"], pieces["ostra.cfg"], 17, tool_cfg=pieces["tavc.cfg"],
                      afs=pieces["mfs.bin"], efs=pieces["efs.bin"])


def test_afs_region_that_does_not_mount_is_refused_and_logged(demo_pieces, caplog):
    demo_pieces["mfs.bin"][:] = bytes(len(demo_pieces["mfs.bin"]))
    with caplog.at_level(logging.ERROR, logger="quorstorage"):
        # "Initialize Error" with the mount's status, then "Failed to initialize MFS".
        error = expect(qs.StorageDamagedError, 1, lambda: open_storage(demo_pieces))
    assert [code for code, _, _ in error.reports] == [1, 339]
    logged = [r for r in caplog.records if r.name == "quorstorage"]
    assert [r.quor_code for r in logged] == [1, 339]
    assert all(r.levelno == logging.ERROR for r in logged)


def test_efs_region_that_does_not_mount_is_refused(demo_pieces):
    demo_pieces["efs.bin"][:] = b"\xa5" * len(demo_pieces["efs.bin"])
    error = expect(qs.StorageDamagedError, 340, lambda: open_storage(demo_pieces))
    assert [code for code, _, _ in error.reports] == [340]
    with pytest.raises(qs.StorageDamagedError) as caught:
        qs.Region(demo_pieces["ftbl.bin"], 17, efs=demo_pieces["efs.bin"])
    assert caught.value.code == 340 and caught.value.status is not None


def test_file_table_without_the_sku(demo_pieces):
    expect(qs.StorageDamagedError, 401,
           lambda: qs.Region(demo_pieces["ftbl.bin"], 99, afs=demo_pieces["mfs.bin"]),
           detail_part="SKU 0x00000063")


def test_efs_region_of_the_wrong_size(demo_pieces):
    short = demo_pieces["efs.bin"][:-1]
    expect(qs.StorageDamagedError, 340,
           lambda: qs.Region(demo_pieces["ftbl.bin"], 17, efs=short), detail_part="bytes")


def test_file_system_that_is_not_mounted(demo_pieces):
    with qs.Region(demo_pieces["ftbl.bin"], 17, afs=demo_pieces["mfs.bin"]) as region:
        expect(qs.StorageError, 323, lambda: region.EFS_read(0), detail_part="no mounted EFS")


def test_closed_objects_refuse_every_call(demo_bundle, demo_pieces):
    img = qs.Bundle.open(demo_bundle)
    img.close()
    img.close()  # closing twice is fine
    expect(qs.StorageClosedError, None, lambda: img.nvars[HOSTNAME], detail_part="closed")
    expect(qs.StorageClosedError, None, lambda: img.afs.read(16))
    expect(qs.StorageClosedError, None, img.commit)
    region = qs.Region(demo_pieces["ftbl.bin"], 17, afs=demo_pieces["mfs.bin"])
    region.close()
    expect(qs.StorageClosedError, None, lambda: region.dfs_read(16))


def test_regions_must_be_writable_byte_buffers(demo_pieces):
    with pytest.raises(TypeError, match="writable"):
        qs.Region(demo_pieces["ftbl.bin"], 17, afs=bytes(demo_pieces["mfs.bin"]))
    strided = memoryview(demo_pieces["mfs.bin"])[::2]
    with pytest.raises(ValueError, match="contiguous"):
        qs.Region(demo_pieces["ftbl.bin"], 17, afs=strided)


def fill_afs(img, first_index=100):
    """Writes files of falling sizes until AFS has no byte left."""
    index = first_index
    for size in (4096, 1024, 256, 64, 16, 4, 1):
        while True:
            try:
                img.afs.write(index, b"z" * size)
            except qs.StorageTooLargeError as error:
                assert error.status == 28  # no space left
                break
            index += 1


def test_failed_commit_closes_the_bundle_and_keeps_the_folder(demo_bundle, caplog):
    from conftest import bundle_bytes
    before = bundle_bytes(demo_bundle)
    with qs.Bundle.open(demo_bundle) as img:
        fill_afs(img)
        img.nvars[HOSTNAME] = b"h" * 64
        img.nvars["/home/net/domain"] = b"d" * 64
        with caplog.at_level(logging.ERROR, logger="quorstorage"):
            error = expect(qs.StorageError, 99, img.commit, detail_part="status code: 28")
        # "Error writing to file." then "Failed to create new Tav.cfg table."
        assert [code for code, _, _ in error.reports] == [99, 345]
        assert [r.quor_code for r in caplog.records] == [99, 345]
        assert img.closed
        expect(qs.StorageClosedError, None, lambda: img.nvars[HOSTNAME])
    assert bundle_bytes(demo_bundle) == before
