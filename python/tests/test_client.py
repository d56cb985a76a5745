"""The Python client against a running `pelionp serve --sim`."""

from __future__ import annotations

import json
import pathlib
import threading
import time

import numpy as np
import pytest

import pelionp

DEADLINE = 30.0  # generous: the machine may be busy


def wait_until(predicate, what: str, deadline: float = DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def test_status_lists_the_default_rigs_probes(client):
    s = client.status()
    assert s["state"] == "idle"
    assert [(p["index"], p["kind"]) for p in s["probes"]] == [(0, "np1"), (1, "np2-1shank"), (2, "np2-4shank")]
    assert all(p["serial"] > 0 for p in s["probes"])
    assert [p["place"] for p in s["probes"]] == ["port 0", "port 1 dock 0", "port 1 dock 1"]
    assert s["board"]["status"]["API"] == "1"
    assert s["disk"]["minutes_left"] > 0


def test_geometry_matches_the_probe(client):
    g = client.geometry(2)
    assert g["shanks"] == 4 and g["shank_pitch_um"] == 250 and len(g["channels"]) == 384
    assert g["geom_map"].startswith("(NP2014,4,250,70)")
    first = g["channels"][0]
    assert (first["shank"], first["x_um"], first["z_um"]) == (0, 27, 0)


def test_a_timed_recording_names_its_files_ends_by_itself_and_says_so(client, served):
    events = client.events()
    assert next(events)["type"] == "hello"
    reply = client.start_recording("timed", seconds=0.5, notes="first test\nC:\\data, left V1")
    assert reply["state"] == "recording"
    folder = pathlib.Path(reply["folder"])
    assert folder == served.out / "timed_g0"
    bins = [pathlib.Path(f["ap"]["bin"]) for f in reply["files"]]
    assert [b.name for b in bins] == [f"timed_g0_t0.imec{i}.ap.bin" for i in range(3)]
    assert pathlib.Path(reply["files"][0]["lf"]["bin"]).name == "timed_g0_t0.imec0.lf.bin"
    seen = []
    for e in events:
        seen.append(e)
        if e["type"] == "recording" and e["event"] == "stopped":
            break
    assert any(e["type"] == "recording" and e["event"] == "started" for e in seen)
    stopped = seen[-1]
    assert stopped["reason"] == "its duration was reached"
    assert [p["ap_samples"] for p in stopped["probes"]] == [15000] * 3
    assert all(p["lost_samples"] == 0 for p in stopped["probes"])
    for b in bins:
        assert b.stat().st_size == 15000 * 385 * 2
    for f in reply["files"]:
        for band in ("ap", "lf"):
            if band in f:
                lines = pathlib.Path(f[band]["meta"]).read_text().splitlines()
                assert "pelionpUserNotes=first test\\nC:\\\\data, left V1" in lines
    assert client.status()["state"] == "idle"


def test_refusals_name_what_was_wrong(client):
    cases = [
        (lambda: client.stop_recording(), 409, "Not recording"),
        (lambda: client.stop_streaming(), 409, "Not streaming"),
        (lambda: client.configure(0), 400, "Nothing to configure"),
        (lambda: client.configure(0, imro="(0,384)(1 2 3)"), 400, "IMRO table"),
        (lambda: client.configure(1, ap_gain=500), 400, "one fixed gain"),
        (lambda: client.configure(0, ap_gain=7), 400, "AP gain 7 is not one of"),
        (lambda: client.configure(9, reference="tip"), 404, "There is no probe 9"),
        (lambda: client.start_recording("../escape"), 400, "Run name"),
        (lambda: client.start_recording("x", seconds=-1), 400, "seconds"),
        (lambda: client.fetch(1, band="lf"), 404, "has no LF band"),
        (lambda: client.fetch(0, band="xx"), 400, "Band"),
        (lambda: client.fetch(0, channels=[400]), 400, "channels"),
    ]
    for call, status, words in cases:
        with pytest.raises(pelionp.ServiceError) as e:
            call()
        assert (e.value.status, words in e.value.message) == (status, True), e.value.message
    assert client.status()["state"] == "idle"


def test_configure_is_refused_while_recording_and_taken_after(client):
    client.start_recording("configured")
    with pytest.raises(pelionp.ServiceError) as e:
        client.configure(0, ap_gain=250)
    assert e.value.status == 409 and "stop the recording first" in e.value.message
    with pytest.raises(pelionp.ServiceError) as again:
        client.start_recording("second")
    assert again.value.status == 409
    client.stop_recording()
    reply = client.configure(0, ap_gain=250, lf_gain=125, reference="tip")
    assert reply["configuration"]["ap_gain"] == 250 and reply["configuration"]["reference"] == "tip"
    client.start_streaming()
    b = client.fetch_block(0, count=10, channels=[0])
    assert b.scale_uv[0] == pytest.approx(0.6 / 512 / 250 * 1e6)
    client.stop_streaming()
    client.configure(0, ap_gain=500, lf_gain=250, reference="external")


def test_fetch_gives_microvolts_or_raw_of_the_latest_samples(client):
    client.start_streaming()
    wait_until(lambda: client.status()["probes"][1]["live"]["ap"]["next"] >= 3000, "3000 samples")
    b = client.fetch_block(1, count=3000, channels=[0, 5, 7], raw=True)
    assert b.data.shape == (3000, 3) and b.data.dtype == np.int16
    assert b.channels == [0, 5, 7]
    assert b.next_index == b.first_index + 3000
    assert b.first_timestamp > 0
    uv = client.fetch(1, start=b.first_index, count=3000, channels=[0, 5, 7])
    assert uv.dtype == np.float32
    np.testing.assert_allclose(uv, b.data * (0.5 / 8192 / 80 * 1e6), rtol=1e-6)
    lf = client.fetch_block(0, band="lf", count=10)
    assert lf.data.shape[1] == 384 and lf.sample_rate == 2500
    d = client.fetch_block(1, start=b.first_index, count=100, channels=[0], raw=True, decimate=10)
    np.testing.assert_array_equal(d.data[:, 0], b.data[:1000:10, 0])
    assert d.sample_rate == 3000
    bins = client.fetch_block(1, start=b.first_index + 1, count=299, channels=[0, 5, 7], raw=True, decimate=10, minmax=True)
    assert bins.data.shape == (299, 2, 3) and bins.next_index == b.first_index + 2991
    whole = b.data[1:2991].reshape(299, 10, 3)
    np.testing.assert_array_equal(bins.data[:, 0], whole.min(axis=1))
    np.testing.assert_array_equal(bins.data[:, 1], whole.max(axis=1))


def test_latest_yields_consecutive_blocks(client):
    client.start_streaming()
    blocks = client.latest(2, channels=list(range(64)), block=1500)
    got = [next(blocks) for _ in range(6)]
    for a, b in zip(got, got[1:]):
        assert b.first_index == a.next_index
        assert b.first_timestamp == a.first_timestamp + len(a)
    assert all(x.data.shape[1] == 64 for x in got)


def test_samples_that_left_the_ring_or_are_not_there_yet(client):
    client.start_streaming()
    ring = client.status()["probes"][1]["live"]["ap"]["capacity"]
    wait_until(lambda: client.status()["probes"][1]["live"]["ap"]["oldest"] > 0, "the ring to wrap")
    with pytest.raises(pelionp.SamplesGone) as gone:
        client.fetch(1, start=0, count=10)
    assert "already left the ring" in gone.value.message and gone.value.body["oldest"] > 0
    with pytest.raises(pelionp.SamplesNotYet) as future:
        client.fetch(1, start=10**15, count=10)
    assert "not there yet" in future.value.message
    for start in (0, 10**15):  # a display going on from its last block takes the latest instead
        b = client.fetch_block(1, start=start, count=10, or_latest=True)
        assert len(b) == 10 and b.first_index > 0 and b.first_index != start
    with pytest.raises(pelionp.ServiceError) as too_many:
        client.fetch(1, count=ring + 1)
    assert too_many.value.status == 400


def test_the_live_data_of_a_recording_is_the_file(client):
    reply = client.start_recording("live", seconds=1.0)
    events = client.events()
    block = None
    while block is None:
        try:
            candidate = client.fetch_block(1, start=0, count=3000, channels=[0, 1], raw=True, wait=2.0)
        except pelionp.SamplesNotYet:
            continue
        if len(candidate) == 3000:
            block = candidate
    for e in events:
        if e["type"] == "recording" and e["event"] == "stopped":
            break
    data = np.fromfile(reply["files"][1]["ap"]["bin"], dtype="<i2").reshape(-1, 385)
    np.testing.assert_array_equal(block.data, data[:3000, :2])


def test_a_second_run_of_the_same_name_takes_the_next_gate(client, served):
    first = client.start_recording("gated", seconds=0.1)
    wait_until(lambda: client.status()["state"] == "idle", "the first run to end")
    second = client.start_recording("gated", seconds=0.1)
    wait_until(lambda: client.status()["state"] == "idle", "the second run to end")
    assert (first["gate"], second["gate"]) == (0, 1)
    assert pathlib.Path(first["folder"]) == served.out / "gated_g0"
    assert pathlib.Path(second["folder"]) == served.out / "gated_g1"
    for reply in (first, second):
        assert pathlib.Path(reply["files"][0]["ap"]["bin"]).stat().st_size > 0
