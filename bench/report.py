#!/usr/bin/env python3
"""Turns the benchmark programs' JSON output into a Markdown table of medians
and bobbin/peer ratios.

usage: report.py <folder with *_bench.json> [output.md]
"""
import json
import pathlib
import sys

# (operation, bobbin benchmark, peer benchmark, peer label, target ratio)
ROWS = [
    ("CriticalSection nested acquire+release", "BM_Nested<CriticalSection>",
     "BM_Nested<StdRecursive>", "std::recursive_mutex", 1.2),
    ("CriticalSection outermost acquire+release", "BM_Outermost<CriticalSection>",
     "BM_Outermost<StdRecursive>", "std::recursive_mutex", 2.0),
    ("CriticalSectionExt nested acquire+release", "BM_Nested<CriticalSectionExt>",
     "BM_Nested<StdRecursive>", "std::recursive_mutex", None),
    ("CriticalSectionExt outermost acquire+release", "BM_Outermost<CriticalSectionExt>",
     "BM_Outermost<StdRecursive>", "std::recursive_mutex", 3.0),
    ("Mutex outermost acquire+release", "BM_Outermost<Mutex>", "BM_Outermost<PosixRecursive>",
     "recursive pthread mutex", 1.1),
    ("Mutex nested acquire+release", "BM_Nested<Mutex>", "BM_Nested<PosixRecursive>",
     "recursive pthread mutex", 1.1),
    ("SynchEvent ping-pong round trip", "BM_PingPong<SynchEventPair>/real_time",
     "BM_PingPong<StdEventPair>/real_time", "mutex + condvar event, notify under lock", 0.7),
    ("SynchEvent ping-pong round trip", "BM_PingPong<SynchEventPair>/real_time",
     "BM_PingPong<FutexEventPair>/real_time", "auto-reset event on a bare futex word", 1.25),
    ("WaitForMultipleEvents (2 events, wait-any) ping-pong round trip",
     "BM_PingPong<WaitAnyPair>/real_time", "BM_PingPong<StdEventPair>/real_time",
     "mutex + condvar event, notify under lock", 0.8),
    ("ThreadHot construct+start+join+delete", "BM_ThreadHot_ConstructStartStopDelete/real_time",
     "BM_StdThread_CreateJoin/real_time", "std::thread create+join", 1.2),
    ("cached probe query", "BM_CachedQuery_getLogicalCPUCount", "BM_Std_hardware_concurrency",
     "std::thread::hardware_concurrency()", 0.001),
    ("cached probe query", "BM_CachedQuery_getLogicalCPUCount", "BM_Sysconf_NPROCESSORS_ONLN",
     "sysconf(_SC_NPROCESSORS_ONLN)", None),
    ("getProcessorAffinityCount", "BM_getProcessorAffinityCount",
     "BM_Bare_sched_getaffinity_CPU_COUNT", "sched_getaffinity + CPU_COUNT", 1.1),
]

# Two threads contending, measured in three separate runs of the lock program
# (sync_contended_<n>.json): (operation, bobbin, peer, peer label, target for
# the median of the runs' ratios).
CONTENDED = [
    ("CriticalSection, 2 threads contending", "BM_Contended<CriticalSection>",
     "BM_Contended<StdRecursive>", "std::recursive_mutex", 2.0),
    ("CriticalSectionExt, 2 threads contending", "BM_Contended<CriticalSectionExt>",
     "BM_Contended<StdRecursive>", "std::recursive_mutex", None),
    ("Mutex, 2 threads contending", "BM_Contended<Mutex>", "BM_Contended<PosixRecursive>",
     "recursive pthread mutex", None),
]

# Throughput of bobbin beside its peer, each on two threads at once:
# (operation, bobbin, peer, peer label, target for peer time / bobbin time, at
# least).
THROUGHPUT = [
    ("WaitForMultipleEvents (2 events, wait-any), two pairs at once, throughput",
     "BM_TwoPairs<WaitAnyPair>/real_time/threads:2", "BM_TwoPairs<SynchEventPair>/real_time/threads:2",
     "two pairs through TimedWait", 0.9),
]

# The calendar programs name each case "<function>/<range>/<zone>...": each
# bobbin function is paired with its peer on the same range and zone.
CALENDAR_PAIRS = [
    ("gmtime64_r", "gmtime_r", 1.0),
    ("gmtime64_r", "closed_form", 2.0),
    ("timegm64", "timegm", 1.0),
    ("localtime64_r", "localtime", 0.5),
    ("localtime64_r", "localtime_r", 1.0),
    ("mktime64", "mktime", 0.5),
]

# A far conversion beside a near one of the same function and zone: (function,
# far range, near range, target ratio).
CALENDAR_FAR = [
    ("localtime64_r", "2e9", "now", 1.5),
    ("localtime64_r", "end", "now", 1.5),
    ("mktime64", "2e9", "now", 1.5),
    ("mktime64", "end", "now", 1.5),
]

# Throughput on two threads at once beside one thread: (benchmark, label,
# target for the ratio, at least).
CALENDAR_THREADS = [
    ("threads_localtime64_r/now/America/New_York", "localtime64_r", 1.8),
    ("threads_localtime_r/now/America/New_York", "localtime_r (C library)", None),
]


def medians(folder, pattern="*_bench.json"):
    result = {}
    context = {}
    for path in sorted(pathlib.Path(folder).glob(pattern)):
        data = json.loads(path.read_text())
        context = data.get("context", context)
        for bench in data.get("benchmarks", []):
            if bench.get("aggregate_name") == "median":
                result[bench["run_name"]] = (bench["real_time"], bench["time_unit"])
                if "items_per_second" in bench:
                    result[bench["run_name"] + "#rate"] = (bench["items_per_second"], "/s")
    return result, context


def fmt_time(value, unit):
    return f"{value:.4g} {unit}"


def fmt_ratio(ratio):
    return f"{ratio:.4f}" if ratio < 0.01 else f"{ratio:.2f}"


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    times, context = medians(sys.argv[1])
    lines = [
        "| operation | bobbin median | peer | peer median | ratio | target | met |",
        "|---|---|---|---|---|---|---|",
    ]
    missing = []

    def row(label, mine, peer, peer_label, target):
        if mine not in times or peer not in times:
            missing.append(label)
            return
        (a, ua), (b, ub) = times[mine], times[peer]
        ratio = a / b if ua == ub else float("nan")
        target_text = "—" if target is None else f"≤ {target:g}"
        met = "—" if target is None else ("yes" if ratio <= target else "no")
        lines.append(f"| {label} | {fmt_time(a, ua)} | {peer_label} | {fmt_time(b, ub)} | "
                     f"{fmt_ratio(ratio)} | {target_text} | {met} |")

    for entry in ROWS:
        row(*entry)
    for label, mine, peer, peer_label, target in THROUGHPUT:
        if mine not in times or peer not in times:
            missing.append(label)
            continue
        (a, ua), (b, ub) = times[mine], times[peer]
        ratio = b / a if ua == ub else float("nan")
        met = "yes" if ratio >= target else "no"
        lines.append(f"| {label} | {fmt_time(a, ua)} | {peer_label} | {fmt_time(b, ub)} | "
                     f"{fmt_ratio(ratio)} | ≥ {target:g} | {met} |")
    runs = [medians(path.parent, path.name)[0]
            for path in sorted(pathlib.Path(sys.argv[1]).glob("sync_contended_*.json"))]
    for label, mine, peer, peer_label, target in CONTENDED:
        suffix = "/real_time/threads:2"
        ratios = sorted(run[mine + suffix][0] / run[peer + suffix][0] for run in runs
                        if mine + suffix in run and peer + suffix in run)
        if not ratios:
            missing.append(label)
            continue
        middle = ratios[len(ratios) // 2]
        target_text = "—" if target is None else f"≤ {target:g}"
        met = "—" if target is None else ("yes" if middle <= target else "no")
        lines.append(f"| {label}, median of {len(ratios)} runs (spread "
                     f"{fmt_ratio(ratios[0])}–{fmt_ratio(ratios[-1])}) | — | {peer_label} | — | "
                     f"{fmt_ratio(middle)} | {target_text} | {met} |")
    for mine, peer, target in CALENDAR_PAIRS:
        for name in sorted(times):
            if name.startswith(mine + "/"):
                rest = name[len(mine):]
                if peer + rest in times:
                    case = rest.split("/min_time")[0].strip("/")
                    row(f"{mine} {case}", name, peer + rest, peer, target)

    for function, far, near, target in CALENDAR_FAR:
        for name in sorted(times):
            if name.startswith(f"{function}/{far}/"):
                rest = name[len(f"{function}/{far}"):]
                if f"{function}/{near}{rest}" in times:
                    case = rest.split("/min_time")[0].strip("/")
                    row(f"{function} {far} beside {near}, {case}", name,
                        f"{function}/{near}{rest}", f"{function} {near}", target)
    for name, label, target in CALENDAR_THREADS:
        rates = {}
        for key, (value, _) in times.items():
            if key.startswith(name + "/") and key.endswith("#rate"):
                rates[key.split("threads:")[-1].split("#")[0]] = value
        if "1" not in rates or "2" not in rates:
            missing.append(f"{label} on two threads")
            continue
        ratio = rates["2"] / rates["1"]
        target_text = "—" if target is None else f"≥ {target:g}"
        met = "—" if target is None else ("yes" if ratio >= target else "no")
        lines.append(f"| {label} throughput, 2 threads beside 1 | {rates['2'] / 1e6:.3g} M/s | "
                     f"1 thread | {rates['1'] / 1e6:.3g} M/s | {fmt_ratio(ratio)} | "
                     f"{target_text} | {met} |")

    header = [
        f"Machine: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
        f"{context.get('mhz_per_cpu', '?')} MHz; run {context.get('date', '?')}.",
        "Medians of the repetitions, wall-clock time; ratio = bobbin / peer.",
        "",
    ]
    text = "\n".join(header + lines) + "\n"
    if missing:
        text += "\nNot measured in this run: " + ", ".join(sorted(set(missing))) + "\n"
    print(text)
    if len(sys.argv) > 2:
        pathlib.Path(sys.argv[2]).write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
