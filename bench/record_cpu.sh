#!/usr/bin/env bash
# CPU share of `pelionp record` at real-time pace with the default rig (an
# NP1 probe on port 0, NP2 single- and four-shank probes on port 1 of the
# simulated board): user + system CPU time of the whole process (the board's
# producer thread included) over wall time, and per second of data, for a
# recording of SECONDS seconds (default 10).
#
# Run: cmake --build --preset release --target pelionp_tool && bench/record_cpu.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
tool=${PELIONP_TOOL:-build/release/tools/pelionp}
[[ -x $tool ]] || { echo "record_cpu: $tool is not built (cmake --build --preset release --target pelionp_tool)" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# getrusage of the finished child: what the recording cost, nothing else.
/usr/bin/python3 - "$tool" "$out" "$seconds" <<'PY'
import os, resource, subprocess, sys, time
tool, out, seconds = sys.argv[1], sys.argv[2], sys.argv[3]
start = time.monotonic()
subprocess.run([tool, "record", "--out", out, "--seconds", seconds], check=True,
               stdout=subprocess.DEVNULL)
wall = time.monotonic() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = usage.ru_utime + usage.ru_stime
cores = os.cpu_count()
written = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(out) for f in fs)
print(f"record {seconds} s: wall {wall:.2f} s, user {usage.ru_utime:.2f} s, system {usage.ru_stime:.2f} s")
print(f"CPU share: {100 * cpu / wall:.1f} % of one core ({100 * cpu / wall / cores:.1f} % of {cores} cores) over the run")
# The wall time also holds detection, configuration and the final drain;
# per second of data is the figure that says whether a rig keeps up.
print(f"CPU per second of data: {100 * cpu / float(seconds):.1f} % of one core")
print(f"max RSS {usage.ru_maxrss / 1024:.0f} MiB, {written / 1e6:.1f} MB written")
PY
