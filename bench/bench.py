#!/usr/bin/env python3
"""The figures of scripts/bench, which builds the programs and runs this.

Usage: bench/bench.py BUILD WORKDIR FIGURE...
  BUILD    a build with KESTREL_BENCH=ON (app/kestrel, app/kestrel-machine, bench/...)
  WORKDIR  an empty directory for the files it makes
"""
import json, os, re, resource, shutil, statistics, subprocess, sys, time

build, work, figures = sys.argv[1], sys.argv[2], sys.argv[3:]
machine = f"{build}/app/kestrel-machine"
kestrel = f"{build}/app/kestrel"
runs = int(os.environ.get("KESTREL_BENCH_RUNS", "5"))
devnull = subprocess.DEVNULL


def path(name):
    return os.path.join(work, name)


def run(args, env=None, shell=False):
    """Wall seconds, CPU seconds (getrusage), peak KiB and standard error of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(args, stdout=devnull, stderr=subprocess.PIPE, text=True, shell=shell,
                          env=dict(os.environ, **(env or {})))
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        sys.exit(f"bench: {args} exited {done.returncode}: {done.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, after.ru_maxrss, done.stderr


def medians(commands, count):
    """Runs the commands in turn, count times; the median of each field."""
    results = [[] for _ in commands]
    for _ in range(count):
        for i, (args, env) in enumerate(commands):
            results[i].append(run(args, env))
    return [[statistics.median(r[k] for r in res) for k in range(3)] for res in results]


def sh(line):
    subprocess.run(line, shell=True, check=True, stdout=devnull, stderr=devnull)


def same_audio(a, b):
    x, y = open(a, "rb").read()[44:], open(b, "rb").read()[44:]
    n = min(len(x), len(y))
    return x[:n] == y[:n] and not any(x[n:]) and not any(y[n:])


def capture():
    ac3 = path("a.ac3")
    sh(f"ffmpeg -v error -y -f lavfi -i sine=f=440:d=60 -ac 2 -ar 48000 -b:a 448k {ac3}")
    (k, _, _), (f, _, _) = medians([
        ([machine, "--quiet", "--spdif-wav=" + path("k.wav"), "--", "kestrel", ac3], None),
        (["ffmpeg", "-v", "error", "-y", "-i", ac3, "-c", "copy", "-f", "spdif",
          path("f.spdif")], None)], runs)
    same = open(path("k.wav"), "rb").read()[44:].startswith(open(path("f.spdif"), "rb").read())
    print(f"capture   60 s AC-3 at 448 kbit/s: kestrel-machine {k:.3f} s, ffmpeg {f:.3f} s, "
          f"ratio {k / f:.2f} (bytes {'equal' if same else 'DIFFERENT'})")


def task_clock(args, env=None):
    """CPU seconds and context switches of one run, all its threads: perf's
    task-clock where perf is installed (the kernel's exact account), else
    getrusage's (tick-sampled, a little high)."""
    if shutil.which("perf"):
        out = path("perf.csv")
        run(["perf", "stat", "-x,", "-o", out, "-e", "task-clock,context-switches", "--"] + args,
            env)
        counts = {}
        for line in open(out):
            fields = line.strip().split(",")
            if len(fields) > 2 and not line.startswith("#"):
                counts[fields[2]] = float(fields[0])
        return counts["task-clock"] / 1000, int(counts["context-switches"])
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_s = run(args, env)[1]
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return cpu_s, (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw)


def cpu():
    seconds = int(os.environ.get("KESTREL_BENCH_SECONDS", "10"))
    aiff = path("cpu.aiff")
    sh(f"sox -n -b 16 -c 2 -r 44100 --comment '' {aiff} synth {seconds} sine 440 sine 660")
    count = int(os.environ.get("KESTREL_BENCH_RUNS", "3"))
    null = {"KESTREL_PCM": "null"}
    task, thread, whole, bare, peer = [], [], [], [], []
    for _ in range(count):
        found = re.search(r"([0-9.]+) ms player task CPU \(([0-9.]+) ms with its sleeps\)", run(
            [machine, "--quiet", "--report", "--clock=real", "--live=null", "--", "kestrel",
             aiff])[3])
        task.append(float(found.group(1)))
        thread.append(float(found.group(2)))
        whole.append(task_clock([kestrel, aiff], null))
        bare.append(task_clock([f"{build}/bench/bare_pace", aiff], null))
        peer.append(task_clock(["aplay", "-q", "-D", "null", aiff])[0])
    per = lambda c: statistics.median(c) * 1000 / seconds
    k, b = per([w[0] for w in whole]), per([w[0] for w in bare])
    k_cs = statistics.median(w[1] for w in whole)
    b_cs = statistics.median(w[1] for w in bare)
    t = statistics.median(task) / seconds
    th = statistics.median(thread) / seconds
    how = "perf task-clock" if shutil.which("perf") else "getrusage"
    print(f"cpu       {seconds} s AIFF on ALSA's null PCM, CPU ms per audio second ({how}), "
          f"median of {count}: kestrel {k:.2f}, bare_pace {b:.2f}: kestrel/bare {k / b:.2f}")
    print(f"cpu       context switches: kestrel {k_cs:.0f}, bare_pace {b_cs:.0f} "
          f"({seconds * 44100 / 1536:.0f} blocks)")
    # ALSA's null PCM does not pace aplay: its figure is all of its work, done at once.
    print(f"cpu       player task {t:.3f} ({th:.2f} with its sleeps), aplay unpaced "
          f"{per(peer):.2f}")


def pace_line(report, audio_seconds):
    """Machine time over audio time, from a --report line."""
    return float(re.search(r"([0-9.]+) s machine time", report).group(1)) / audio_seconds


def headroom():
    # Speeds below 10 play a tenth of the file, so that speed 1 takes no
    # longer than speed 10.
    long_s = int(os.environ.get("KESTREL_BENCH_HEADROOM_SECONDS", "60"))
    files = {}

    def file_for(speed):
        seconds = max(1, long_s // 10) if speed < 10 else long_s
        if seconds not in files:
            aiff, wav = path(f"h{seconds}.aiff"), path(f"virtual{seconds}.wav")
            sh(f"sox -n -b 16 -c 2 -r 44100 --comment '' {aiff} synth {seconds} sine 440 "
               f"sine 660")
            err = run([machine, "--quiet", "--report", "--dac-wav=" + wav, "--", "kestrel",
                       aiff])[3]
            pace = pace_line(err, seconds)
            print(f"headroom  {seconds} s file on the virtual clock: pace {pace:.4f} "
                  f"(machine time over audio time)")
            files[seconds] = (aiff, wav, pace)
        return seconds, files[seconds]

    best, holding, paced, pacing = 0, True, 0, True
    for speed in (1, 10, 30, 100, 300, 1000):
        seconds, (aiff, virtual, reference) = file_for(speed)
        wall, _, _, err = run([machine, "--quiet", "--report", "--clock=real",
                               f"--speed={speed}", "--dac-wav=" + path("real.wav"), "--",
                               "kestrel", aiff])
        overruns = int(re.search(r"(\d+) overruns", err).group(1))
        pace = pace_line(err, seconds)
        exact = same_audio(virtual, path("real.wav"))
        if exact and overruns == 0 and holding:
            best = speed
        holding = holding and exact and overruns == 0
        within = abs(pace / reference - 1) <= 0.01
        if within and pacing:
            paced = speed
        pacing = pacing and within
        print(f"headroom  speed {speed} ({seconds} s file): {overruns} overruns, line out "
              f"{'identical' if exact else 'DIFFERENT'}, pace {pace:.4f} "
              f"({pace / reference:.4f} of the virtual clock's), {wall:.2f} s wall")
    print(f"headroom  highest speed with the line out exact: {best or 'none'}; "
          f"keeping the virtual clock's pace within 1%: {paced or 'none'}")


def memory():
    def peak(seconds):
        # Measured on its own: the peak of all children would hold ffmpeg's.
        # With a timeline written: it too must not grow with the run.
        line = (f"head -c {seconds * 192000} /dev/zero | /usr/bin/time -f %M -o "
                f"{path('rss')} {machine} --quiet --timeline=/dev/null -- kestrel /dev/stdin")
        run(line, shell=True)
        return int(open(path("rss")).read().split()[-1])
    short, hour = peak(3), peak(3600)
    print(f"memory    peak resident with a timeline: 3 s {short / 1024:.1f} MiB, 1 h {hour / 1024:.1f} MiB "
          f"(+{(hour - short) / 1024:.2f} MiB)")


def refill():
    out = subprocess.run([f"{build}/bench/refill_bench", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    bench = {b["name"]: b for b in json.loads(out)["benchmarks"]}
    swap, copy = bench["BM_SwapBytes16"], bench["BM_Memcpy"]
    rate = swap["bytes_per_second"] / copy["bytes_per_second"]
    print(f"refill    SwapBytes16 {swap['bytes_per_second'] / 1e9:.1f} GB/s, memcpy "
          f"{copy['bytes_per_second'] / 1e9:.1f} GB/s: {rate:.2f} of memcpy")
    for name, b in bench.items():
        if name.startswith("BM_FillTransferBuffer"):
            us = b["real_time"] / 1000 if b["time_unit"] == "ns" else b["real_time"]
            print(f"refill    {name.split('/', 1)[1]}: {us:.1f} us, "
                  f"{us / 32000 * 100:.3f}% of its 32 ms deadline")


known = {"capture": capture, "cpu": cpu, "headroom": headroom, "memory": memory,
         "refill": refill}
for figure in figures:
    if figure not in known:
        sys.exit(f"bench: unknown figure '{figure}' (known: {', '.join(known)})")
for figure in figures:
    known[figure]()
