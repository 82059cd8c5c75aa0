#!/usr/bin/env python3
"""Runs the built benchmarks and writes docs/performance.md with their figures,
the machine they ran on and the command that produced them."""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPETITIONS = 5


def run(command, **kw):
    print("+ " + " ".join(command), file=sys.stderr, flush=True)
    return subprocess.run(command, check=True, text=True, capture_output=True, **kw)


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = ""
    with open("/proc/meminfo") as f:
        mem = "%.1f GiB" % (int(f.readline().split()[1]) / 1048576)
    compiler = run(["c++", "--version"]).stdout.splitlines()[0]
    os_name = platform.platform()
    try:
        with open("/etc/os-release") as f:
            os_name = dict(l.rstrip().split("=", 1) for l in f if "=" in l)["PRETTY_NAME"].strip('"')
    except (OSError, KeyError):
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": mem, "os": os_name,
            "kernel": platform.release(), "compiler": compiler}


def load_average():
    return "%.1f %.1f %.1f" % os.getloadavg()


def google_benchmark(binary, out, extra=()):
    run([binary, "--benchmark_repetitions=%d" % REPETITIONS, "--benchmark_out=" + out,
         "--benchmark_out_format=json", *extra], cwd=os.path.dirname(out))
    with open(out) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        if "error_occurred" in b and b["error_occurred"]:
            raise SystemExit("%s: %s" % (b["name"], b.get("error_message")))
        runs.setdefault(b["run_name"], []).append(b)
    return runs


def fastest(reps):
    """The repetition with the least time: the one least disturbed by the machine's other work."""
    return min(reps, key=lambda b: b["real_time"])


def per(b, unit):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    return b["real_time"] * scale[b["time_unit"]] / scale[unit]


def callgrind(binary, args, toggle, workdir):
    out = os.path.join(workdir, "callgrind.out")
    run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
         "--toggle-collect=" + toggle, binary, *args], cwd=workdir)
    text = run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out]).stdout
    total = int(re.search(r"^\s*([\d,]+)\s+\(100.0%\)\s+PROGRAM TOTALS", text, re.M)
                .group(1).replace(",", ""))
    trips = 0
    m = re.search(r"^\s*([\d,]+) \([\d. %]+\)\s+\S*standin::detail::SendMessageTimeoutA", text, re.M)
    if m:
        trips = int(m.group(1).replace(",", ""))
    os.remove(out)
    return total, trips


def fmt(x, digits=1):
    if x >= 100:
        return "{:,.0f}".format(x)
    return "{:.{}f}".format(x, digits)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--wine-build")
    ap.add_argument("--out", required=True)
    ap.add_argument("--command", default="scripts/bench")
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    a.wine_build = a.wine_build and os.path.abspath(a.wine_build)
    bindir = os.path.join(a.build, "bin")
    results = os.path.join(a.build, "results")
    os.makedirs(results, exist_ok=True)
    load_before = load_average()
    started = datetime.datetime.now(datetime.timezone.utc)

    timed = google_benchmark(os.path.join(bindir, "qel_bench"), os.path.join(results, "bench.json"))
    alloc = google_benchmark(os.path.join(bindir, "qel_bench_alloc"),
                             os.path.join(results, "alloc.json"))

    # Instruction counts of the module's own work per active cycle.
    count = os.path.join(bindir, "qel_bench_count")
    counts = {}
    for layout in ("scattered", "same_parallel"):
        for ports in (1, 100, 10000, 1000000):
            for k in (0, 1, 10):
                if k > ports:
                    continue
                cycles = 1 if (layout == "same_parallel" and ports >= 1000000) else 10
                total, trips = callgrind(count, [layout, str(ports), str(k), str(cycles)],
                                         "qel::TickHandler*", results)
                counts[(layout, ports, k)] = ((total - trips) / cycles, trips / cycles)
    for ports in (100, 10000):
        total, trips = callgrind(count, ["nearby", str(ports), "10", "2"], "qel::TickHandler*",
                                 results)
        counts[("nearby", ports, 10)] = ((total - trips) / 2, trips / 2)
    for k in (0, 1, 10):
        total, trips = callgrind(count, ["exchanges", "-", str(k), "10"],
                                 "qel::bench::ExchangesAlone*", results)
        counts[("exchanges", 0, k)] = ((total - trips) / 10, trips / 10)

    wine = None
    exe = os.path.join(a.wine_build or "", "bin", "qel_bench_exchange.exe")
    if a.wine_build and os.path.exists(exe):
        prefix = os.path.join(a.wine_build, "wineprefix")
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        script = ('"$0" wineboot --init >/dev/null 2>&1; "$0" "$1" 25 500; s=$?; '
                  'wineserver -w; exit $s')
        out = run(["xvfb-run", "-a", "bash", "-c", script, "/usr/lib/wine/wine64", exe],
                  env=env).stdout
        wine = dict((k, float(v)) for k, v in re.findall(r"(\w+)=([\d.]+)", out))

    load_after = load_average()
    write_report(a, machine(), started, load_before, load_after, timed, alloc, counts, wine)


def write_report(a, m, started, load_before, load_after, timed, alloc, counts, wine):
    L = []
    w = L.append
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], text=True,
                            capture_output=True).stdout.strip() or "unknown"
    w("# Performance")
    w("")
    w("What the module costs the simulator's thread, and how that grows with the port list.")
    w("Written by `%s` (it builds the `bench` preset, runs every benchmark and writes this "
      "file); every figure below comes from that one run." % a.command)
    w("")
    w("## Machine and run")
    w("")
    w("| | |")
    w("|---|---|")
    w("| CPU | %s, %d logical cores |" % (m["cpu"], m["cores"]))
    w("| Memory | %s |" % m["memory"])
    w("| System | %s, Linux %s |" % (m["os"], m["kernel"]))
    w("| Compiler | %s, Release (-O3) |" % m["compiler"])
    w("| Commit | %s (HEAD when the run started) |" % commit)
    w("| Started | %s |" % started.strftime("%Y-%m-%d %H:%M UTC"))
    w("| Load average (1, 5, 15 min) | %s at the start, %s at the end |" % (load_before, load_after))
    w("")
    w("The machine is shared: other builds run beside the benchmarks, so wall-clock figures "
      "carry their noise. Each timed figure is the fastest of %d repetitions (Google "
      "Benchmark's own; each repetition is the mean of many iterations), the one least "
      "disturbed. Where it matters the table also gives callgrind's instruction counts (Ir), "
      "which the other work cannot disturb. Callgrind counts an x87 instruction such as "
      "`fpatan` as one, so Ir undercounts the long-double arithmetic of the distance." % REPETITIONS)
    w("")

    # Idle tick.
    empty = per(fastest(timed["BM_EmptyHandler"]), "ns") / 15
    idle = per(fastest(timed["BM_IdleTick"]), "ns") / 15
    w("## Idle tick")
    w("")
    w("Calls 1 to 15 of `TickHandler` with one port loaded, called through a "
      "`HostEventHandler` pointer the compiler cannot see through, beside the module's own "
      "empty handler `IgnoreEvent` called the same way. One iteration is 15 calls followed by "
      "`ResetTickCounter()` (so that no cycle ever runs); both loops carry the reset alike.")
    w("")
    w("| | ns per call |")
    w("|---|---:|")
    w("| empty handler (floor) | %.2f |" % empty)
    w("| idle tick | %.2f |" % idle)
    w("| ratio | **%.2f×** (goal: at most 2×) |" % (idle / empty))
    w("")

    # Active cycle.
    def cyc(layout, ports, k):
        b = fastest(timed["BM_ActiveCycle/%s/%d/%d/manual_time" % (layout, ports, k)])
        return per(b, "us"), b["trips_us"], b["exchanges"]

    def floor(k):
        b = fastest(timed["BM_ExchangesAlone/%d/manual_time" % k])
        return per(b, "us"), b["trips_us"], b["exchanges"]

    w("## Active cycle")
    w("")
    w("The sixteenth call of `TickHandler`, against the in-process stand-in server: the log "
      "opened for appending, the link opened with its handshake, clock, visibility and "
      "position read, every port tested, two exchanges per port in range, link and log "
      "closed. The stand-in's clock is virtual, so the handshake's 100 ms pause costs "
      "nothing. Each iteration times the call alone and subtracts the time spent inside "
      "`SendMessageTimeoutA` (the exchanges' round trips, where the in-process server does "
      "its work), measured by a timing wrapper in the seam; what remains is the module's own "
      "work on the simulator thread, together with the stand-in's kernel calls (opening the "
      "log, the atom and the 32 KB mapping) that a real Windows would also charge to it.")
    w("")
    w("Two port layouts, each with the ports in range at even intervals through the table "
      "(30 km range, 5.5 km from the aircraft):")
    w("")
    w("- *scattered*: the other ports at pseudo-random places between 80°S and 80°N, none "
      "within 60 km: what a real list looks like. The latitude test turns most of them away "
      "without computing a distance.")
    w("- *same parallel*: every other port on the aircraft's own parallel, 2° to 358° of "
      "longitude away: the latitude test passes them all, and the longitude test turns "
      "them away.")
    w("- *nearby*: every other port just out of range, 35 to 60 km from the aircraft all "
      "round: neither quick test can turn any away, so each costs a full distance. The "
      "worst case, measured with 100 and 10,000 ports.")
    w("")
    w("The floor is the same cycle's exchanges alone (`ExchangesAlone` in "
      "bench/support/world.cpp): log opened and its click and clock lines written, link "
      "opened, clock, visibility and position exchanged, k light-word reads and writes, link "
      "and log closed; the port work is the cycle less this floor.")
    w("")
    w("| layout | ports | in range | µs apart from round trips | round trips µs (exchanges) "
      "| Ir apart from round trips | port work Ir | Ir per port |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    for k in (0, 1, 10):
        t, trips, ex = floor(k)
        ir = counts[("exchanges", 0, k)][0]
        w("| floor: exchanges alone | – | %d | %s | %s (%d) | %s | – | – |"
          % (k, fmt(t), fmt(trips), ex, fmt(ir)))
    per_port = {}
    rows = [(l, n, k) for l in ("scattered", "same_parallel") for n in (1, 100, 10000, 1000000)
            for k in (0, 1, 10) if k <= n]
    rows += [("nearby", 100, 10), ("nearby", 10000, 10)]
    for layout, ports, k in rows:
        t, trips, ex = cyc(layout, ports, k)
        ir = counts[(layout, ports, k)][0]
        work = ir - counts[("exchanges", 0, k)][0]
        per_port[(layout, ports, k)] = work / ports
        w("| %s | %s | %d | %s | %s (%d) | %s | %s | %s |"
          % (layout.replace("_", " "), "{:,}".format(ports), k, fmt(t), fmt(trips), ex,
             fmt(ir), fmt(work), fmt(work / ports)))
    w("")
    # Per-port time from the slope between 10,000 and 1,000,000 ports.
    slopes = {}
    for layout in ("scattered", "same_parallel"):
        t_small = cyc(layout, 10000, 10)[0]
        t_big = cyc(layout, 1000000, 10)[0]
        slopes[layout] = (t_big - t_small) * 1000 / (1000000 - 10000)
    goal_s = cyc("scattered", 10000, 10)[0]
    goal_p = cyc("same_parallel", 10000, 10)[0]
    goal_n = cyc("nearby", 10000, 10)[0]
    slopes["nearby"] = (goal_n - cyc("nearby", 100, 10)[0]) * 1000 / (10000 - 100)
    w("Per-port cost, from the slope between 10,000 and 1,000,000 ports (10 in range): "
      "**%.1f ns** per port scattered, **%.1f ns** per port on the same parallel "
      "(between 100 and 10,000 nearby ports: **%.0f ns** per port). "
      "Instruction counts of the port work per port, with none in range (so without the "
      "in-range ports' exchanges and log lines), at 10,000 and 1,000,000 ports: %s and %s "
      "scattered, %s and %s on the same parallel, so the growth is linear: the port work "
      "is one pass over the table with a fixed cost per port."
      % (slopes["scattered"], slopes["same_parallel"], slopes["nearby"],
         fmt(per_port[("scattered", 10000, 0)]), fmt(per_port[("scattered", 1000000, 0)]),
         fmt(per_port[("same_parallel", 10000, 0)]),
         fmt(per_port[("same_parallel", 1000000, 0)])))
    w("")
    w("Goal: 10,000 ports with 10 in range within 500 µs apart from the round trips: "
      "**%s µs** scattered (%s), **%s µs** on the same parallel (%s), **%s µs** "
      "nearby (%s)."
      % (fmt(goal_s), "met" if goal_s <= 500 else "missed by %.1f×" % (goal_s / 500),
         fmt(goal_p), "met" if goal_p <= 500 else "missed by %.1f×" % (goal_p / 500),
         fmt(goal_n), "met" if goal_n <= 500 else "missed by %.1f×" % (goal_n / 500)))
    w("")

    # Port-file load.
    w("## Loading the port file")
    w("")
    w("`LoadPortTable` with its INIT lines written to the log file, table released after "
      "each load, beside a straightforward C version of the same two passes (`fgets` into a "
      "100-byte buffer, `strchr`, `strtod`, `calloc`, two `fprintf` per port) on the same "
      "file. Before timing, the benchmark checks that both write byte-for-byte the same log "
      "and fill the same number of ports. Lines look like `37.1234;-120.5678;4.0;30.0;K123` "
      "with CR LF endings (about 33 bytes); the log takes about 150 bytes per port.")
    w("")
    w("| ports | stdio ports/s | module ports/s | module / stdio |")
    w("|---:|---:|---:|---:|")
    rate = {}
    for n in (100000, 1000000):
        s = fastest(timed["BM_LoadPortFile/stdio/%d" % n])["items_per_second"]
        mo = fastest(timed["BM_LoadPortFile/module/%d" % n])["items_per_second"]
        rate[n] = (s, mo)
        w("| %s | %s | %s | **%.2f×** |" % ("{:,}".format(n), "{:,.0f}".format(s),
                                          "{:,.0f}".format(mo), mo / s))
    w("")
    lin = rate[1000000][1] / rate[100000][1]
    w("Linearity: the module loads 1,000,000 ports at %.2f times its rate for 100,000 "
      "(1.00 would be exactly linear); the stdio version at %.2f. Both do one pass over the "
      "file per pass and a fixed amount of work per line; the like slowdown of both at "
      "1,000,000 ports, whose log is about 150 MB, points at the file system rather than "
      "at either loader."
      % (lin, rate[1000000][0] / rate[100000][0]))
    w("")

    # Wine.
    w("## One exchange under Wine, between two processes")
    w("")
    w("`qel_bench_exchange.exe` (bench/win/) starts `qelserver.exe` as a process of its own, "
      "opens the link and times, in interleaved rounds of 500: one exchange (`IpcRead` of "
      "2 bytes and `IpcProcess`), a bare `SendMessageTimeoutA` of the same registered "
      "message with the same atom to the same window (the block still holds the same "
      "request, so the server does exactly the same work and answers at once), and a "
      "`WM_NULL` to the same window (the crossing alone, no server work). 64-bit build "
      "under 64-bit Wine in Xvfb; each figure is the fastest round of 25.")
    w("")
    if wine:
        w("| | µs per call (fastest round) | µs (median round) |")
        w("|---|---:|---:|")
        w("| bare round trip, same request (floor) | %.1f | %.1f |"
          % (wine["bare_min_us"], wine["bare_median_us"]))
        w("| exchange | %.1f | %.1f |" % (wine["exchange_min_us"], wine["exchange_median_us"]))
        w("| `WM_NULL` crossing alone | %.1f | %.1f |"
          % (wine["crossing_min_us"], wine["crossing_median_us"]))
        w("| ratio exchange / bare | **%.2f×** (goal: at most 1.2×) | %.2f× |"
          % (wine["exchange_min_us"] / wine["bare_min_us"],
             wine["exchange_median_us"] / wine["bare_median_us"]))
    else:
        w("Not measured in this run: the 64-bit Windows build (mingw-w64) or Wine was not "
          "available. `scripts/bench` builds and runs it when they are.")
    w("")

    # Allocations.
    w("## Heap allocations during an active cycle")
    w("")
    w("`qel_bench_alloc` replaces `malloc`, `calloc`, `realloc` and the aligned allocators "
      "with counting ones (glibc's underneath; `operator new` reaches them too) and counts "
      "only across the sixteenth call of `TickHandler`. Every seam entry is wrapped so that "
      "each allocation is put down to its owner: the module's own code (including anything "
      "it asks of `operator new` or the seam's `calloc`), the C runtime's stdio (the `FILE` "
      "that `fopen` makes and the buffer stdio makes at the first write to it), or the "
      "stand-in behind the other seam calls, which stands for Windows' kernel objects and "
      "for the server's own process.")
    w("")
    w("| ports | in range | module's own code | C runtime stdio | stand-in and server |")
    w("|---:|---:|---:|---:|---:|")
    module_total = 0
    for name, reps in sorted(alloc.items()):
        b = reps[0]
        ports, k = re.findall(r"/(\d+)", name)
        module_total += b["module"]
        w("| %s | %s | **%g** | %g | %g |" % ("{:,}".format(int(ports)), k, b["module"],
                                              b["stdio"], b["standin_server"]))
    w("")

    # Verdicts.
    w("## Against the goals")
    w("")
    w("| goal | figure | |")
    w("|---|---|---|")
    w("| idle tick within 2× an empty call | %.2f× | %s |"
      % (idle / empty, "met" if idle / empty <= 2 else "missed"))
    verdict = lambda t: "met" if t <= 500 else "missed by %.1f×" % (t / 500)
    w("| 10,000 ports, 10 in range: ≤ 500 µs apart from round trips | %s µs scattered; "
      "%s µs same parallel; %s µs nearby (worst case) | %s; %s; %s |"
      % (fmt(goal_s), fmt(goal_p), fmt(goal_n), verdict(goal_s), verdict(goal_p),
         verdict(goal_n)))
    worst_load = min(rate[n][1] / rate[n][0] for n in rate)
    w("| port-file load at least as fast as stdio, and linear | %.2f× stdio at worst; "
      "1M/100k rate %.2f | %s |"
      % (worst_load, lin, "met" if worst_load >= 1 and lin > 0.85 else "missed"))
    if wine:
        r = wine["exchange_min_us"] / wine["bare_min_us"]
        w("| exchange under Wine within 1.2× the bare round trip | %.2f× | %s |"
          % (r, "met" if r <= 1.2 else "missed"))
    else:
        w("| exchange under Wine within 1.2× the bare round trip | not measured | – |")
    w("| no heap allocation by the module's own code in an active cycle | %g | %s |"
      % (module_total, "met" if module_total == 0 else "missed"))
    w("")
    notes = os.path.join(ROOT, "bench", "notes.md")
    if os.path.exists(notes):
        with open(notes) as f:
            w(f.read().rstrip())
            w("")
    with open(a.out, "w") as f:
        f.write("\n".join(L))
    print("wrote " + a.out, file=sys.stderr)


if __name__ == "__main__":
    main()
