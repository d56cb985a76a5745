#!/usr/bin/env python3
"""Scores a plain spike detector on a short recording of the simulated rig.

    check_ground_truth.py PELIONP WORKDIR [RIG]

Records a few seconds with `PELIONP record --sim RIG`, then, per probe, reads
the .ap.bin in µV (the .meta's range, integer maximum and gain), finds each
channel's negative threshold crossings (5 x the median-estimated noise, after
taking away a 2 ms moving average) and checks them against the run's
sim_ground_truth.json: at least 90 % of the spikes of units above 100 µV whose
site is recorded must have a crossing within 1 ms on a site within 50 µm.
"""
import json
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np

SECONDS = 3
RECALL = 0.90
WINDOW_TICKS = 30          # 1 ms
RADIUS_UM = 50.0
AMPLITUDE_UV = 100.0
THRESHOLD_SIGMAS = 5.0


def read_meta(path):
    meta = {}
    for line in path.read_text().splitlines():
        key, _, value = line.partition("=")
        meta[key.lstrip("~")] = value
    return meta


def microvolts_per_bit(meta):
    full_scale = float(meta["imAiRangeMax"])
    max_int = int(meta["imMaxInt"])
    entries = re.findall(r"\(([^()]*)\)", meta["imroTbl"])[1:]
    if meta["imDatPrb_type"] == "0":  # NP1: channel bank ref ap_gain lf_gain hp
        gains = np.array([float(e.split()[3]) for e in entries])
    else:
        gains = np.full(len(entries), 80.0)
    return full_scale / max_int / gains * 1e6


def sites(meta):
    """(shank, x, z) of each saved channel, from the geometry map."""
    entries = re.findall(r"\(([^()]*)\)", meta["snsGeomMap"])[1:]
    return np.array([[float(v) for v in e.split(":")[:3]] for e in entries])


def detect(uv):
    """Negative threshold crossings: (sample, channel) arrays."""
    width = 61
    csum = np.cumsum(np.vstack([np.zeros((1, uv.shape[1]), np.float64), uv]), axis=0)
    half = width // 2
    lo = np.clip(np.arange(uv.shape[0]) - half, 0, uv.shape[0])
    hi = np.clip(np.arange(uv.shape[0]) + half + 1, 0, uv.shape[0])
    baseline = (csum[hi] - csum[lo]) / (hi - lo)[:, None]
    hp = uv - baseline
    sigma = np.median(np.abs(hp), axis=0) / 0.6745
    below = hp < -THRESHOLD_SIGMAS * sigma
    onset = below[1:] & ~below[:-1]
    samples, channels = np.nonzero(onset)
    return samples + 1, channels, sigma


def score_probe(run_dir, probe):
    matches = list(run_dir.rglob(probe["ap_bin"]))
    if len(matches) != 1:
        raise SystemExit("%s: expected one %s in %s" % (probe["ap_bin"], probe["ap_bin"], run_dir))
    ap_bin = matches[0]
    meta = read_meta(ap_bin.with_suffix(".meta"))
    channels = int(meta["nSavedChans"]) - 1
    raw = np.fromfile(ap_bin, dtype="<i2").reshape(-1, channels + 1)[:, :channels]
    uv = raw.astype(np.float32) * microvolts_per_bit(meta)[None, :].astype(np.float32)
    timestamps = np.load(str(ap_bin.with_suffix("")) + ".timestamps.npy")
    assert len(timestamps) == raw.shape[0], "one timestamp per sample"
    where = sites(meta)
    samples, chans, sigma = detect(uv)
    noise = float(np.median(sigma))

    total = found = 0
    for unit in probe["units"]:
        if unit["amplitude_uv"] <= AMPLITUDE_UV:
            continue
        on_shank = where[:, 0] == unit["shank"]
        at_site = on_shank & (where[:, 1] == unit["x_um"]) & (where[:, 2] == unit["z_um"])
        if not at_site.any():
            continue  # its site is not recorded
        distance = np.hypot(where[:, 1] - unit["x_um"], where[:, 2] - unit["z_um"])
        near = np.nonzero(on_shank & (distance <= RADIUS_UM))[0]
        mine = np.isin(chans, near)
        unit_samples = np.sort(samples[mine])
        for tick in unit["spike_ticks"]:
            index = int(np.searchsorted(timestamps, tick))
            if index >= len(timestamps) or timestamps[index] != tick:
                continue  # not in the file (a lost sample)
            if index < WINDOW_TICKS or index + WINDOW_TICKS >= len(timestamps):
                continue  # too near the file's ends to judge
            total += 1
            k = np.searchsorted(unit_samples, index - WINDOW_TICKS)
            found += k < len(unit_samples) and unit_samples[k] <= index + WINDOW_TICKS
    return total, found, len(samples), noise


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    tool, work = sys.argv[1], pathlib.Path(sys.argv[2])
    rig = sys.argv[3] if len(sys.argv) > 3 else "0=np1,1=np2:single+four"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    subprocess.run([tool, "record", "--sim", rig, "--seconds", str(SECONDS), "--out", str(work), "--run", "truth"],
                   check=True, stdout=subprocess.DEVNULL)
    run_dir = work / "truth_g0"
    truth = json.loads((run_dir / "sim_ground_truth.json").read_text())
    assert truth["probes"], "the ground truth names the probes"
    failed = False
    for probe in truth["probes"]:
        total, found, crossings, noise = score_probe(run_dir, probe)
        recall = found / total if total else 0.0
        print("imec%d %s serial %d: %d of %d spikes found (recall %.3f), %d crossings, noise %.1f uV"
              % (probe["imec"], probe["kind"], probe["serial"], found, total, recall, crossings, noise))
        if total < 20:
            print("  too few spikes to judge", file=sys.stderr)
            failed = True
        elif recall < RECALL:
            print("  recall below %.2f" % RECALL, file=sys.stderr)
            failed = True
        if not 7.0 < noise < 14.0:
            print("  noise %.1f uV is not about 10 uV RMS" % noise, file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
