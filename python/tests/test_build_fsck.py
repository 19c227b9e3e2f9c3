"""qs.build and qs.fsck: the tool's mkimage and fsck from Python, checked
against the tool itself."""

from __future__ import annotations

import json

import pytest

import quorstorage as qs
from conftest import DEMO_DESCRIPTION, bundle_bytes, run_quorstore


def demo_dict():
    return json.loads(DEMO_DESCRIPTION.read_text())


@pytest.mark.parametrize("given_as", ["dict", "path", "str"])
def test_build_makes_what_mkimage_makes(demo_template, tmp_path, given_as):
    description = {"dict": demo_dict(), "path": DEMO_DESCRIPTION,
                   "str": str(DEMO_DESCRIPTION)}[given_as]
    out = tmp_path / "built"
    assert qs.build(description, out) == str(out)
    assert bundle_bytes(out) == bundle_bytes(demo_template)


def test_build_with_another_sku_and_force(tmp_path):
    description = demo_dict()
    out = tmp_path / "built"
    qs.build(description, out)
    with pytest.raises(qs.StorageError) as caught:
        qs.build(description, out)
    assert caught.value.code == 49 and "--force" in caught.value.detail
    description["nvars"][0]["default"] = "changed"
    qs.build(description, out, force=True)
    with qs.Bundle.open(out) as img:
        assert img.vendor_nvars[description["nvars"][0]["name"]] == b"changed"


# (change to the demo description, detail fragment naming the field)
BAD_DESCRIPTIONS = [
    pytest.param(lambda d: d.update(sku="seventeen"), "sku", id="sku-not-a-number"),
    pytest.param(lambda d: d["skus"][0]["files"][1].update(max_size=-1), "max_size",
                 id="negative-max-size"),
    pytest.param(lambda d: d["nvars"].append({"name": "/not/a/file", "default": "x"}),
                 "/not/a/file", id="nvar-without-file"),
]


@pytest.mark.parametrize("change, field", BAD_DESCRIPTIONS)
def test_build_refuses_a_malformed_description(tmp_path, change, field):
    description = demo_dict()
    change(description)
    with pytest.raises(qs.StorageError) as caught:
        qs.build(description, tmp_path / "never")
    assert caught.value.code == 118
    assert field in caught.value.detail
    assert not (tmp_path / "never").exists()


def test_build_and_fsck_wait_for_the_open_storage(demo_bundle, tmp_path):
    with qs.Bundle.open(demo_bundle):
        with pytest.raises(qs.StorageBusyError):
            qs.build(demo_dict(), tmp_path / "built")
        with pytest.raises(qs.StorageBusyError):
            qs.fsck(demo_bundle)


def tool_fsck(folder):
    result = run_quorstore("fsck", folder, "--json", check=False)
    return result.returncode, json.loads(result.stdout)


def test_fsck_of_the_demo_bundle_is_clean(demo_bundle):
    report = qs.fsck(demo_bundle)
    assert report.clean and report and report.exit_status == 0
    assert report.damage == [] and report.trial_commit
    status, tool = tool_fsck(demo_bundle)
    assert status == 0
    assert report.nvars == tool["nvars"]
    assert report.afs.files == tool["afs"]["files"] and report.afs.mounted
    assert report.efs.files == tool["efs"]["files"] and report.efs.mounted


def test_fsck_names_a_damaged_piece_like_the_tool(demo_bundle):
    region = demo_bundle / "mfs.bin"
    data = bytearray(region.read_bytes())
    data[len(data) // 2] ^= 0xFF
    region.write_bytes(bytes(data))
    report = qs.fsck(demo_bundle)
    assert not report.clean
    assert report.pieces["mfs.bin"][0] != "intact"
    status, tool = tool_fsck(demo_bundle)
    assert report.exit_status == status
    assert [(f.where, f.what) for f in report.damage] == [
        (f["where"], f["what"]) for f in tool["damage"]]


def test_fsck_of_a_missing_folder_raises(tmp_path):
    with pytest.raises(qs.StorageError) as caught:
        qs.fsck(tmp_path / "missing")
    assert caught.value.detail
