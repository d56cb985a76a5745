#!/usr/bin/python3
"""Opens a recording with neo's SpikeGLX reader and checks it against an
expectation file. Run with Debian's interpreter (/usr/bin/python3), which
sees python3-neo.

    check_neo.py RECORDING_DIR EXPECTATION.json

The expectation:
    {"duration": 0.1,                       # optional: the segment's end, s
     "streams": {
       "imec0.ap": {"rate": 30000, "channels": 384, "samples": 3000,
                    "gain_uv": 2.34375,          # optional: every channel's gain
                    "uv_per_code": {"value": 3.027, "units": 4, "tolerance": 0.01},
                                  # optional: NP2; what a probe code (`units`
                                  # stored units) reads, by this neo and by the
                                  # current reader's rules, both within
                                  # `tolerance` of `value`, and the two equal
                    "values": [[sample, channel, value], ...],
                    "sync": 0,                   # optional: every sync value
                    "timestamps": {"first": 5000, "step": 3}},  # optional, AP only
       ...}}
Every stream of the recording must be expected and every expected stream
present. Rows the `.meta` lists as filled (`pelionpGaps`: a stream that began
late, a full queue, a resync) must hold zeros with bit 14 of the sync channel
set; expected values that fall in them are expected as 0, and the "sync"
expectation holds for every other row. Exit status 0 when everything matches; otherwise each mismatch is
printed and the status is 1.
"""
import json
import pathlib
import re
import sys

import numpy as np
from neo.rawio import SpikeGLXRawIO


def close(a, b, rel=1e-6):
    return abs(a - b) <= rel * max(abs(a), abs(b), 1e-12)


# The NP2 gain of the current neo SpikeGLX reader (2026): imChan0apGain when
# the .meta has it, else its part-number table's (100 for these 12-bit
# probes, 80 for NP2000/NP2010); imMaxInt, else 8192.
NEWEST_TABLE_GAIN = {"NP2003": 100, "NP2004": 100, "NP2013": 100, "NP2014": 100, "NP2000": 80, "NP2010": 80}


def newest_rule_uv(meta):
    if "imChan0apGain" in meta:
        gain = float(meta["imChan0apGain"])
    else:
        gain = NEWEST_TABLE_GAIN[meta["imDatPrb_pn"]]
    max_int = int(meta.get("imMaxInt", 8192))
    return float(meta["imAiRangeMax"]) / max_int / gain * 1e6


SYNC_FILLED = 1 << 14


def filled_rows(meta, lf, size):
    """The rows the .meta's gap list says were filled. A gap names the device
    timestamp where it begins and its length in this stream's samples; an LF
    row spans 12 device timestamps."""
    step = 12 if lf else 1
    first = int(float(meta.get("firstSample", 0))) * step
    rows = np.zeros(size, dtype=bool)
    for timestamp, samples, _cause in re.findall(r"\((\d+),(\d+),(\w+)\)", meta.get("pelionpGaps", "")):
        begin = (int(timestamp) - first) // step
        rows[max(begin, 0):max(min(begin + int(samples), size), 0)] = True
    return rows


def check(directory, expectation):
    failures = []
    fail = failures.append

    reader = SpikeGLXRawIO(dirname=str(directory))
    reader.parse_header()
    with_sync = SpikeGLXRawIO(dirname=str(directory), load_sync_channel=True)
    with_sync.parse_header()

    expected = expectation["streams"]
    streams = reader.header["signal_streams"]
    names = [str(s["name"]) for s in streams]
    if sorted(names) != sorted(expected):
        fail(f"streams {sorted(names)}, expected {sorted(expected)}")

    channels = reader.header["signal_channels"]
    for index, name in enumerate(names):
        if name not in expected:
            continue
        want = expected[name]
        ids = str(streams[index]["id"])
        mine = channels[channels["stream_id"] == ids]
        if len(mine) != want["channels"]:
            fail(f"{name}: {len(mine)} channels, expected {want['channels']}")
        rates = set(float(r) for r in mine["sampling_rate"])
        if rates != {float(want["rate"])}:
            fail(f"{name}: sampling rates {sorted(rates)}, expected {want['rate']}")
        if "gain_uv" in want:
            bad = [g for g in mine["gain"] if not close(float(g), want["gain_uv"])]
            if bad:
                fail(f"{name}: gain {bad[0]} uV, expected {want['gain_uv']}")

        if "uv_per_code" in want:
            per_code = want["uv_per_code"]
            units, value, tolerance = per_code["units"], per_code["value"], per_code["tolerance"]
            this_neo = sorted(set(float(g) for g in mine["gain"]))
            newest = newest_rule_uv(reader.signals_info_dict[0, name]["meta"])
            if len(this_neo) != 1 or not close(this_neo[0], newest):
                fail(f"{name}: this neo reads {this_neo} uV per unit, the current reader's rules {newest}")
            for who, uv in (("this neo", this_neo[0]), ("the current reader's rules", newest)):
                if abs(uv * units / value - 1) > tolerance:
                    fail(f"{name}: {who}: a code reads {uv * units:.4f} uV, not {value:.4f} uV within {tolerance:.0%}")

        size = reader.get_signal_size(block_index=0, seg_index=0, stream_index=index)
        if size != want["samples"]:
            fail(f"{name}: {size} samples, expected {want['samples']}")
            continue
        data = reader.get_analogsignal_chunk(block_index=0, seg_index=0, i_start=0, i_stop=size,
                                             stream_index=index)
        if data.shape != (size, want["channels"]):
            fail(f"{name}: data shape {data.shape}, expected {(size, want['channels'])}")
            continue
        filled = filled_rows(reader.signals_info_dict[0, name]["meta"], name.endswith(".lf"), size)
        if np.any(data[filled] != 0):
            fail(f"{name}: rows the gap list says were filled hold other values than 0")
        wrong = [(s, c, v, int(data[s, c])) for s, c, v in want.get("values", [])
                 if int(data[s, c]) != (0 if filled[s] else v)]
        if wrong:
            s, c, v, got = wrong[0]
            fail(f"{name}: {len(wrong)} sample values differ; first: sample {s} channel {c} is {got}, expected {v}")

        if "sync" in want:
            sync_index = [str(s["name"]) for s in with_sync.header["signal_streams"]].index(name)
            full = with_sync.get_analogsignal_chunk(block_index=0, seg_index=0, i_start=0, i_stop=size,
                                                    stream_index=sync_index)
            expected_sync = np.where(filled, want["sync"] | SYNC_FILLED, want["sync"])
            if full.shape[1] != want["channels"] + 1 or np.any(full[:, -1] != expected_sync):
                fail(f"{name}: the sync channel is not {want['sync']} throughout "
                     f"(bit 14 set exactly on the {int(filled.sum())} filled rows)")

        if "timestamps" in want:
            info = reader.signals_info_dict[0, name]
            npy = pathlib.Path(info["bin_file"]).with_suffix("").with_suffix(".ap.timestamps.npy")
            if not npy.exists():
                fail(f"{name}: {npy} is missing")
                continue
            ts = np.load(npy)
            first, step = want["timestamps"]["first"], want["timestamps"]["step"]
            if ts.dtype != np.uint64 or ts.shape != (size,):
                fail(f"{name}: timestamps {ts.dtype} {ts.shape}, expected uint64 ({size},)")
            elif np.any(ts != first + step * np.arange(size, dtype=np.uint64)):
                fail(f"{name}: timestamps are not {first} + {step} * i")

    if "duration" in expectation:
        t_stop = reader.segment_t_stop(block_index=0, seg_index=0)
        if not close(t_stop, expectation["duration"]):
            fail(f"segment ends at {t_stop} s, expected {expectation['duration']}")
    return failures


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    directory = pathlib.Path(sys.argv[1])
    expectation = json.loads(pathlib.Path(sys.argv[2]).read_text())
    failures = check(directory, expectation)
    for f in failures:
        print(f"check_neo: {f}")
    if not failures:
        print(f"check_neo: {directory} matches ({len(expectation['streams'])} streams)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
