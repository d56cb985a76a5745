#!/usr/bin/env bash
# CPU share of `pelionp record` at real-time pace, with its .bin files written
# past the page cache (the default) and through it (--buffered-writes), one
# after the other in one run: user + system CPU time of the whole process
# (the board's producer thread included) over wall time, and per second of
# data, for a recording of SECONDS seconds (default 10) of RIG (default: the
# tool's default rig; e.g. 0=np2:single+four,1=np2:single+four,2=np2:single+four,3=np2:single+four
# for a full board).
#
# The recording goes to a folder on a real disk (TMPDIR, default /tmp): on a
# RAM-backed one the page cache is where the file lives either way.
#
# Run: cmake --build --preset release --target pelionp_tool && bench/record_cpu.sh [SECONDS [RIG]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
rig=${2:-}
tool=${PELIONP_TOOL:-build/release/tools/pelionp}
[[ -x $tool ]] || { echo "record_cpu: $tool is not built (cmake --build --preset release --target pelionp_tool)" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fs=$(stat -f -c %T "$out")
[[ $fs == tmpfs || $fs == ramfs ]] && echo "record_cpu: $out is on $fs, not a disk: both ways write to memory" >&2

# getrusage of each finished child: what the recording cost, nothing else;
# and, polled from /proc while it runs, the CPU of its "sim-board" thread
# (the simulated board's producer, which a hardware board does itself): the
# host's part is the rest. NB: the poll's last look is at most 0.2 s before
# the producer ends, so its share may be short by that much CPU.
/usr/bin/python3 - "$tool" "$out" "$seconds" "$rig" <<'PY'
import glob, os, resource, subprocess, sys, time
tool, out, seconds, rig = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
print(f"load before: {os.getloadavg()[0]:.2f}; rig: {rig or 'default'}; folder on {out}")
cores = os.cpu_count()
per_data = {}
for way, flags in (("past the page cache", []), ("through the page cache", ["--buffered-writes"])):
    folder = os.path.join(out, "buffered" if flags else "unbuffered")
    os.mkdir(folder)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    command = [tool, "record", "--out", folder, "--seconds", seconds, *flags] + (["--sim", rig] if rig else [])
    errors = os.path.join(out, "stderr.log")
    board_ticks = {}
    with open(errors, "w") as err:
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=err)
        while child.poll() is None:
            for task in glob.glob(f"/proc/{child.pid}/task/*"):
                try:
                    with open(task + "/comm") as f:
                        if f.read().strip() != "sim-board":
                            continue
                    with open(task + "/stat") as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                    board_ticks[task] = int(fields[11]) + int(fields[12])  # utime, stime
                except (OSError, IndexError, ValueError):
                    pass  # the thread ended between the listing and the read
            time.sleep(0.2)
    if child.returncode != 0:
        sys.exit(f"record_cpu: {' '.join(command)} failed ({child.returncode})")
    with open(errors) as err:
        log = err.read()
    keep_up = sum("keep up" in line for line in log.splitlines())
    lost = sum("missing at timestamp" in line for line in log.splitlines())
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    user, system = after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime
    cpu = user + system
    written = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(folder) for f in fs)
    print(f"{way}: record {seconds} s: wall {wall:.2f} s, user {user:.2f} s, system {system:.2f} s, "
          f"{written / 1e6:.1f} MB written, max RSS {after.ru_maxrss / 1024:.0f} MiB; "
          f"{keep_up} keep-up warnings, {lost} gaps filled")
    print(f"  CPU share: {100 * cpu / wall:.1f} % of one core ({100 * cpu / wall / cores:.1f} % of {cores} cores) over the run")
    # The wall time also holds detection, configuration and the final drain;
    # per second of data is the figure that says whether a rig keeps up.
    per_data[way] = 100 * cpu / float(seconds)
    board = sum(board_ticks.values()) / os.sysconf("SC_CLK_TCK")
    print(f"  CPU per second of data: {per_data[way]:.1f} % of one core; the simulated board's producer "
          f"{board:.2f} s of it, the host's part {100 * (cpu - board) / float(seconds):.1f} %")
    subprocess.run(["rm", "-rf", folder], check=True)
a, b = per_data.values()
print(f"past / through the page cache: {a / b:.2f}; load after: {os.getloadavg()[0]:.2f}")
PY
