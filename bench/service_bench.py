#!/usr/bin/env python3
"""Live-data figures of `pelionp serve --sim` (the default rig) while it records.

    bench/service_bench.py [--tool build/release/tools/pelionp] [--seconds 20]

Phases, each against a fresh service:
  0. `pelionp record` of the same rig for N and 2N seconds: the CPU of a
     data second is the difference over N (start-up cancels out);
  1. recording alone: the service's CPU per data second, no client;
  2. recording with one client pulling probe 1's 384 AP channels
     continuously and four clients each pulling 64 AP channels of every
     probe 30 times a second: samples lost in the recording, gaps the
     clients saw, how far behind real time they ran, the service's CPU;
  3. request to response of the latest 100 ms of 64 channels (loopback),
     while recording.

How far behind: per block, the time it arrived minus the time its last
sample was taken, the device clock mapped onto the wall clock by the
smallest such difference seen by any client in the phase (so the figure
is relative to the fastest delivery, which includes the board's and the
writer's own buffering).
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import pathlib
import subprocess
import sys
import tempfile
import time
from typing import List

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

import numpy as np  # noqa: E402

import pelionp  # noqa: E402

TICK_RATE = 30000.0


def cpu_seconds(pid: int) -> float:
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Service:
    def __init__(self, tool: str, out: pathlib.Path) -> None:
        self.process = subprocess.Popen([tool, "serve", "--sim", "--listen", "127.0.0.1:0", "--out", str(out)],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert self.process.stdout is not None
        while True:
            line = self.process.stdout.readline().decode()
            if not line:
                raise RuntimeError("pelionp serve ended before listening")
            if line.startswith("Listening on "):
                self.url = line.split()[2].removesuffix("/api/v1/")
                break
        self.client = pelionp.Client(self.url)

    def stop(self) -> None:
        self.client.shutdown()
        self.process.wait(timeout=60)


def percentile(values: List[float], q: float) -> float:
    return float(np.percentile(np.asarray(values), q)) if values else float("nan")


class Puller:
    """Pulls `channels` of `probes` from where the last block ended, every
    `period` seconds (0: as soon as the last reply came, waiting for a
    whole block). Runs in a process of its own, so that the clients do not
    share one interpreter lock."""

    def __init__(self, url: str, probes: List[int], channels: List[int], period: float, stop) -> None:
        self.url, self.probes, self.channels, self.period, self.stop_event = url, probes, channels, period, stop
        self.samples = {p: 0 for p in probes}
        self.gaps = 0
        self.arrivals: List[tuple] = []  # (monotonic time, device tick after the block's last sample)
        self.error: str | None = None
        self.results = multiprocessing.get_context("fork").Queue()
        self.process = multiprocessing.get_context("fork").Process(target=self._main, daemon=True)

    def start(self) -> None:
        self.process.start()

    def join(self, timeout: float) -> None:
        self.samples, self.gaps, self.arrivals, self.error = self.results.get(timeout=timeout)
        self.process.join(timeout=timeout)

    def _main(self) -> None:
        self.client = pelionp.Client(self.url, timeout=30)
        self.run()
        self.results.put((self.samples, self.gaps, self.arrivals, self.error))

    def run(self) -> None:
        try:
            following = {}
            for p in self.probes:
                head = self.client.fetch_block(p, count=1, channels=self.channels, raw=True)
                following[p] = head.next_index
            while not self.stop_event.is_set():
                began = time.monotonic()
                for p in self.probes:
                    wait = 1.0 if self.period == 0 else 0.0
                    count = 3000 if self.period == 0 else 30000
                    b = self.client.fetch_block(p, start=following[p], count=count, channels=self.channels, raw=True,
                                                wait=wait)
                    if b.first_index != following[p]:
                        self.gaps += 1
                    if len(b):
                        self.arrivals.append((time.monotonic(), b.first_timestamp + len(b)))
                        self.samples[p] += len(b)
                        following[p] = b.next_index
                if self.period:
                    time.sleep(max(0.0, self.period - (time.monotonic() - began)))
        except pelionp.SamplesGone as e:
            self.error = f"fell out of the ring: {e.message}"
        except Exception as e:  # noqa: BLE001: reported with the figures
            self.error = f"{type(e).__name__}: {e}"


def record_command_cpu(tool: str, out: pathlib.Path, seconds: float) -> float:
    """CPU seconds per data second of `pelionp record`, start-up excluded."""
    used = []
    for n, s in enumerate((seconds, 2 * seconds)):
        p = subprocess.Popen([tool, "record", "--seconds", str(s), "--out", str(out), "--run", f"cmd{n}"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        if status != 0:
            raise RuntimeError(f"pelionp record ended with status {status}")
        used.append(usage.ru_utime + usage.ru_stime)
    return (used[1] - used[0]) / seconds


def record_phase(tool: str, out: pathlib.Path, seconds: float, with_clients: bool) -> dict:
    service = Service(tool, out)
    try:
        status = service.client.status()
        probes = [p["index"] for p in status["probes"]]
        service.client.start_recording("bench", seconds=seconds + 2)
        # Until every probe's file is under way.
        while min(p["live"]["ap"]["next"] for p in service.client.status()["probes"]) < 3000:
            time.sleep(0.05)
        stop = multiprocessing.get_context("fork").Event()
        pullers: List[Puller] = []
        if with_clients:
            pullers.append(Puller(service.url, [1], list(range(384)), 0.0, stop))
            for k in range(4):
                pullers.append(Puller(service.url, probes, list(range(64 * k, 64 * k + 64)), 1 / 30, stop))
        for t in pullers:
            t.start()
        load0 = os.getloadavg()
        cpu0, t0 = cpu_seconds(service.process.pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(service.process.pid), time.monotonic()
        stop.set()
        for t in pullers:
            t.join(timeout=30)
        reply = service.client.stop_recording()
    finally:
        service.stop()
    result = {
        "cpu_per_data_s": (cpu1 - cpu0) / (t1 - t0),
        "lost": [p["lost_samples"] for p in reply["probes"]],
        "load": load0,
        "recorded_s": [p["seconds"] for p in reply["probes"]],
    }
    if pullers:
        offset = min(w - tick / TICK_RATE for t in pullers for w, tick in t.arrivals)
        lags = [[1000 * (w - tick / TICK_RATE - offset) for w, tick in t.arrivals] for t in pullers]
        result["clients"] = [{
            "what": "384 ch of probe 1, continuous" if i == 0 else f"64 ch of every probe, 30/s (client {i})",
            "samples_per_s": {p: n / (t1 - t0) for p, n in t.samples.items()},
            "gaps": t.gaps, "error": t.error,
            "lag_ms_p50": percentile(lags[i], 50), "lag_ms_p99": percentile(lags[i], 99),
        } for i, t in enumerate(pullers)]
    return result


def latency_phase(tool: str, out: pathlib.Path, requests: int) -> dict:
    service = Service(tool, out)
    try:
        service.client.start_recording("latency")
        while service.client.status()["probes"][1]["live"]["ap"]["next"] < 6000:
            time.sleep(0.05)
        client = pelionp.Client(service.url)
        channels = list(range(64))
        times = []
        for _ in range(requests):
            began = time.perf_counter()
            b = client.fetch_block(1, count=3000, channels=channels, raw=True)
            times.append(1000 * (time.perf_counter() - began))
            assert b.data.shape == (3000, 64)
        service.client.stop_recording()
    finally:
        service.stop()
    return {"p50_ms": percentile(times, 50), "p99_ms": percentile(times, 99), "requests": requests}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=str(HERE.parent / "build" / "release" / "tools" / "pelionp"))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--requests", type=int, default=1000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="pelionp-bench-") as scratch:
        root = pathlib.Path(scratch)
        command = record_command_cpu(args.tool, root / "command", args.seconds)
        print(f"pelionp record: {100 * command:.1f} % of a core per data second, load {os.getloadavg()}")
        alone = record_phase(args.tool, root / "alone", args.seconds, with_clients=False)
        print(f"recording alone: service CPU {100 * alone['cpu_per_data_s']:.1f} % of a core per data second "
              f"(+{100 * (alone['cpu_per_data_s'] - command):.1f} % over pelionp record), "
              f"lost {alone['lost']}, load {alone['load']}")
        loaded = record_phase(args.tool, root / "loaded", args.seconds, with_clients=True)
        print(f"recording + 5 clients: service CPU {100 * loaded['cpu_per_data_s']:.1f} % of a core per data second "
              f"(+{100 * (loaded['cpu_per_data_s'] - alone['cpu_per_data_s']):.1f} %), lost {loaded['lost']}, "
              f"recorded {loaded['recorded_s']} s, load {loaded['load']}")
        for c in loaded["clients"]:
            rates = ", ".join(f"imec{p} {r:.0f}/s" for p, r in c["samples_per_s"].items())
            print(f"  {c['what']}: {rates}; gaps {c['gaps']}; behind real time p50 {c['lag_ms_p50']:.1f} ms, "
                  f"p99 {c['lag_ms_p99']:.1f} ms{'; ' + c['error'] if c['error'] else ''}")
        lat = latency_phase(args.tool, root / "latency", args.requests)
        print(f"latest 100 ms of 64 channels, {lat['requests']} requests while recording: "
              f"p50 {lat['p50_ms']:.2f} ms, p99 {lat['p99_ms']:.2f} ms")
        print(f"load average now {os.getloadavg()}")


if __name__ == "__main__":
    main()
