"""Summarises the per-run figures of bench/capture-vs-tcpdump.sh: the CPU per packet while
recording beside tcpdump's, a table of medians and ranges per frame size and program, the store
against dd, the lossless rates, then the targets met or missed (exit status 1 when one is
missed).

Input: one line per run of key=value figures (see capture-vs-tcpdump.sh); "phase" tells a
capture round, a store run, a run of the lossless-rate search or a search's result."""

import statistics
import sys

MIB = 1024 * 1024
RSS_MARGIN_MIB = 16
STOP_LIMIT_S = 1.5
CPU_LIMIT_SMALL = 0.6  # the recorder's CPU per packet against tcpdump's, frames up to 128 bytes
CPU_LIMIT_LARGE = 0.8  # and larger frames
STORE_SHARE = 0.9  # the store's rate against dd's
DONE_LIMIT = 1.2  # SIGINT to "Done!" against dd's time for the same bytes
RECORDER_MODES = ("continuous", "fixed")
TOOL_ORDER = ("tcpdump", "continuous", "fixed", "stop", "continuous@base", "fixed@base",
              "stop@base")
TOOL_NAMES = {
    "tcpdump": "tcpdump -w",
    "continuous": "recorder continuous",
    "fixed": "recorder fixednumberofpackets",
    "stop": "recorder, Ctrl+C under traffic",
}


def name_of(tool):
    if tool.endswith("@base"):
        return TOOL_NAMES.get(tool[:-5], tool[:-5]) + " (baseline)"
    return TOOL_NAMES.get(tool, tool)


def tool_rank(tool):
    return TOOL_ORDER.index(tool) if tool in TOOL_ORDER else 99


def parse(path):
    runs = []
    with open(path) as lines:
        for line in lines:
            fields = dict(item.split("=", 1) for item in line.split() if "=" in item)
            if fields:
                fields.setdefault("phase", "capture")
                runs.append(fields)
    return runs


def number(run, key, default=0.0):
    try:
        return float(run.get(key, default))
    except ValueError:
        return default


def since_signal(run, key):
    """Seconds from the SIGINT to the moment KEY, or None when it was not seen."""
    at = number(run, key)
    signal = number(run, "signal_time")
    return at - signal if at > 0 and signal > 0 else None


def figures(run):
    """The derived figures of one capture round or store run."""
    captured = number(run, "distinct")
    wrapper = number(run, "wrapper_cpu_s")
    # The launch wrappers' own cost (measured alone with /bin/true) is not the program's.
    cpu = max(number(run, "cpu_s") - wrapper, 0.0)
    store_s = number(run, "store_s")
    store_bytes = number(run, "store_bytes")
    dd_s = number(run, "dd_s")
    dd_bytes = number(run, "dd_bytes", store_bytes)
    result = {
        "offered": number(run, "pps") / 1000.0,
        "captured": captured,
        "missing": number(run, "missing"),
        "cpu": cpu,
        "ns": cpu * 1e9 / captured if captured else None,
        "rss": number(run, "maxrss_kib") / 1024.0,
        "plan": number(run, "plan_bytes") / MIB,
        "load": number(run, "load1"),
        "busy": number(run, "busy") * 100.0,
        "cpu_capture": None,
        "recording_ns": None,
        "done": since_signal(run, "done_time"),
        "bytes": store_bytes,
    }
    result["over"] = result["rss"] - result["plan"]
    if "cpu_at_signal_s" in run:
        # From launch to the SIGINT (start, capture, Buffers added) and after it (stop, store).
        result["cpu_capture"] = max(number(run, "cpu_at_signal_s") - wrapper, 0.0)
        result["cpu_after"] = cpu - result["cpu_capture"]
    if "cpu_at_ready_s" in run and captured:
        recording = number(run, "cpu_at_signal_s") - number(run, "cpu_at_ready_s")
        result["recording_ns"] = recording * 1e9 / captured
    if store_s > 0 and store_bytes > 0:
        result["store"] = store_bytes / store_s / 1e6
        result["store_s"] = store_s
    if dd_s > 0 and dd_bytes > 0:
        # dd's time for the recording's own bytes.
        result["dd_same_s"] = dd_s * store_bytes / dd_bytes if store_bytes else dd_s
        result["dd"] = dd_bytes / dd_s / 1e6
        if "store" in result:
            result["share"] = result["store"] / result["dd"]
        if result["done"] is not None and result["dd_same_s"] > 0:
            result["done_ratio"] = result["done"] / result["dd_same_s"]
    begin = since_signal(run, "store_begin_time")
    last = since_signal(run, "last_write_time")
    seen = since_signal(run, "store_done_time")
    if begin is not None and last is not None and seen is not None:
        result["to_store"] = begin
        result["seen_late"] = seen - last
        result["to_done"] = result["done"] - seen if result["done"] is not None else None
    if result["done"] is not None:
        result["stop"] = result["done"] - store_s
    return result


def median(values):
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else None


def spread(values, digits=0):
    values = [value for value in values if value is not None]
    if not values:
        return "-"
    middle = statistics.median(values)
    if len(values) == 1 or min(values) == max(values):
        return f"{middle:,.{digits}f}"
    return f"{middle:,.{digits}f} [{min(values):,.{digits}f}-{max(values):,.{digits}f}]"


def ratio(mine, theirs):
    if mine is None or theirs is None or theirs == 0:
        return None
    return mine / theirs


def times(value):
    return "-" if value is None else f"{value:.2f}x"


def markdown(columns, rows):
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def capture_groups(runs):
    grouped = {}
    for run in runs:
        if run["phase"] == "capture":
            grouped.setdefault((run["size"], run["tool"]), []).append(figures(run))
    return grouped


def sizes_of(grouped):
    return sorted({size for size, _ in grouped}, key=int)


def tools_of(grouped, size):
    return sorted((tool for s, tool in grouped if s == size), key=tool_rank)


def key_median(rows, key):
    return median([row.get(key) for row in rows]) if rows else None


def recording_table(grouped):
    """The headline: CPU per packet while recording, each beside tcpdump's of the same run."""
    print("CPU per packet while recording (from capturing to the SIGINT, per packet recorded),")
    print("median of the rounds [range], and its ratio to tcpdump's median of the same run:")
    print()
    rows = []
    for size in sizes_of(grouped):
        reference = key_median(grouped.get((size, "tcpdump")), "recording_ns")
        baseline = {}
        for tool in tools_of(grouped, size):
            if tool.endswith("@base"):
                baseline[tool[:-5]] = key_median(grouped[(size, tool)], "recording_ns")
        for tool in tools_of(grouped, size):
            if tool.split("@")[0] == "stop":
                continue
            mine = grouped[(size, tool)]
            value = key_median(mine, "recording_ns")
            rows.append((f"{size} B", name_of(tool), str(len(mine)),
                         spread([row["captured"] for row in mine]),
                         spread([row["missing"] for row in mine]),
                         spread([row["recording_ns"] for row in mine]),
                         times(ratio(value, reference)),
                         times(ratio(value, baseline.get(tool)))
                         if tool in baseline else "-"))
    markdown(("frames", "program", "runs", "recorded", "missing", "CPU ns/pkt while recording",
              "x tcpdump", "x baseline"), rows)


def detail_table(grouped):
    columns = ("frames", "program", "runs", "offered kpps", "captured", "x tcpdump", "missing",
               "CPU s", "CPU s until SIGINT", "CPU s after", "CPU ns/pkt", "x tcpdump",
               "peak RSS MiB", "x tcpdump", "plan MiB", "RSS-plan MiB", "store MB/s",
               "dd MB/s", "store/dd", "SIGINT to Done! s", "load1", "busy %")
    rows = []
    for size in sizes_of(grouped):
        reference = grouped.get((size, "tcpdump"), [])
        for tool in tools_of(grouped, size):
            mine = grouped[(size, tool)]
            recorder = tool != "tcpdump"

            def col(key, digits=0, show=True, source=mine):
                return spread([row.get(key) for row in source], digits) if show else "-"

            def versus(key):
                return times(ratio(key_median(mine, key), key_median(reference, key)))

            stop = tool.split("@")[0] == "stop"
            rows.append((f"{size} B", name_of(tool), str(len(mine)), col("offered"),
                         col("captured"), versus("captured") if not stop else "-",
                         col("missing"), col("cpu", 2), col("cpu_capture", 2),
                         col("cpu_after", 2), col("ns", 0, not stop),
                         versus("ns") if not stop else "-", col("rss", 1), versus("rss"),
                         col("plan", 1, recorder), col("over", 1, recorder),
                         col("store", 0, recorder), col("dd", 0, recorder),
                         col("share", 2, recorder), col("done", 2, recorder),
                         col("load", 1), col("busy", 0)))
    markdown(columns, rows)


def store_groups(runs):
    grouped = {}
    for run in runs:
        if run["phase"] == "store":
            grouped.setdefault(run["dir"], []).append(figures(run))
    return grouped


def store_table(grouped):
    print("The store of a recording of about 1 GB, and dd bs=10M writing the same bytes into the")
    print("same directory right before the SIGINT (the faster of two runs), median of the rounds")
    print("[range]. SIGINT to \"Done!\" = stop of the capture + store + the end seen + summary;")
    print("dd's time is for the recording's bytes:")
    print()
    rows = []
    for directory, mine in grouped.items():
        rows.append((directory, str(len(mine)), spread([row["bytes"] / 1e6 for row in mine]),
                     spread([row.get("store") for row in mine]),
                     spread([row.get("dd") for row in mine]),
                     spread([row.get("share") for row in mine], 2),
                     spread([row.get("done") for row in mine], 3),
                     spread([row.get("dd_same_s") for row in mine], 3),
                     spread([row.get("done_ratio") for row in mine], 2),
                     spread([row.get("to_store") for row in mine], 3),
                     spread([row.get("store_s") for row in mine], 3),
                     spread([row.get("seen_late") for row in mine], 3),
                     spread([row.get("to_done") for row in mine], 3)))
    markdown(("directory", "runs", "MB", "store MB/s", "dd MB/s", "store/dd",
              "SIGINT to Done! s", "dd s", "Done!/dd", "SIGINT to store start s", "store s",
              "last write to end seen s", "end seen to Done! s"), rows)


def lossless_results(runs):
    results = {}
    for run in runs:
        if run["phase"] == "lossless_result":
            results[(run["size"], run["layout"], run["tool"])] = run
    return results


def lossless_table(results, runs):
    print("Lossless rate: the highest offered rate (packets per second) at which every run of")
    print("three in a row recorded every packet; split: sender on CPU 0, capturer on CPU 1;")
    print("shared: both on CPU 0. \"sender short\": a failing step failed because the sender")
    print("fell below 95% of the rate asked, not by a lost packet (split: the bound is the")
    print("sender's CPU, which also carries the kernel's receive path; shared: the CPU the")
    print("capturer leaves to the sender):")
    print()
    rows = []
    keys = sorted(results, key=lambda key: (int(key[0]), key[1], tool_rank(key[2])))
    for size, layout, tool in keys:
        run = results[(size, layout, tool)]
        reference = results.get((size, layout, "tcpdump"))
        rate = number(run, "rate")
        limit = number(reference, "rate") if reference else None
        rows.append((f"{size} B", layout, name_of(tool), f"{rate:,.0f}",
                     f"{number(run, 'lost_at'):,.0f}" if number(run, "lost_at") else "none",
                     "yes" if run.get("sender_short") == "1" else "no",
                     times(ratio(rate, limit)), run.get("runs", "-"),
                     run.get("seconds", "-")))
    markdown(("frames", "layout", "program", "lossless pps", "first loss at pps",
              "sender short", "x tcpdump", "runs", "seconds"), rows)


def lost_at_or_below(runs, results, size, layout, tool):
    """Runs of TOOL at or below tcpdump's lossless rate, and those that missed packets."""
    reference = results.get((size, layout, "tcpdump"))
    if reference is None:
        return None, None
    limit = number(reference, "rate")
    mine = [run for run in runs if run["phase"] == "lossless" and run["tool"] == tool
            and run["size"] == size and run["layout"] == layout and number(run, "rate") <= limit]
    return len(mine), sum(1 for run in mine if number(run, "missing") > 0)


class Targets:
    def __init__(self):
        self.rows = []
        self.missed = 0

    def add(self, target, measured, limit, ok):
        verdict = "not measured" if ok is None else ("met" if ok else "MISSED")
        self.rows.append((target, measured, limit, verdict))
        if ok is False:
            self.missed += 1

    def show(self):
        markdown(("target", "measured", "limit", "verdict"), self.rows)


def cpu_targets(targets, grouped):
    for size in sizes_of(grouped):
        limit = CPU_LIMIT_SMALL if int(size) <= 128 else CPU_LIMIT_LARGE
        reference = key_median(grouped.get((size, "tcpdump")), "recording_ns")
        for mode in RECORDER_MODES:
            if (size, mode) not in grouped:
                continue
            mine = key_median(grouped[(size, mode)], "recording_ns")
            share = ratio(mine, reference)
            measured = "-" if share is None else \
                f"{mine:,.0f} ns = {share:.2f}x tcpdump ({reference:,.0f} ns)"
            targets.add(f"CPU/packet while recording, {TOOL_NAMES[mode]}, {size} B", measured,
                        f"<= {limit}x", None if share is None else share <= limit)


def capture_targets(targets, grouped):
    for size in sizes_of(grouped):
        for mode in RECORDER_MODES:
            if (size, mode) not in grouped:
                continue
            over = max(row["over"] for row in grouped[(size, mode)])
            targets.add(f"peak RSS beyond the memory plan, {TOOL_NAMES[mode]}, {size} B",
                        f"{over:+.1f} MiB", f"<= +{RSS_MARGIN_MIB} MiB", over <= RSS_MARGIN_MIB)
        stops = grouped.get((size, "stop"))
        if stops:
            missing = max(row["missing"] for row in stops)
            targets.add(f"Ctrl+C under traffic, {size} B: packets sent before it missing",
                        f"{missing:,.0f} (worst run)", "0", missing == 0)
            late = key_median(stops, "stop")
            if late is not None:
                targets.add(f"Ctrl+C under traffic, {size} B: SIGINT to \"Done!\" less the store",
                            f"{late:.2f} s", f"<= {STOP_LIMIT_S} s", late <= STOP_LIMIT_S)


def lossless_targets(targets, runs, results):
    if not results:
        targets.add("lossless rate against tcpdump's", "not run (--lossless)", ">= tcpdump's",
                    None)
    for size, layout, tool in sorted(results, key=lambda key: (int(key[0]), key[1])):
        if tool == "tcpdump" or tool.endswith("@base"):
            continue
        reference = results.get((size, layout, "tcpdump"))
        mine = number(results[(size, layout, tool)], "rate")
        theirs = number(reference, "rate") if reference else None
        targets.add(f"lossless rate, {name_of(tool)}, {size} B, {layout}",
                    f"{mine:,.0f} pps" + (f" = {mine / theirs:.2f}x tcpdump ({theirs:,.0f})"
                                          if theirs else ""),
                    ">= tcpdump's", None if theirs is None else mine >= theirs)
        count, lossy = lost_at_or_below(runs, results, size, layout, tool)
        if count is not None:
            targets.add(f"runs at or below tcpdump's lossless rate, {name_of(tool)}, {size} B, "
                        f"{layout}", f"{lossy} of {count} runs lost packets", "none",
                        lossy == 0)


def store_targets(targets, grouped):
    if not grouped:
        targets.add("store rate and SIGINT to \"Done!\" against dd", "not run (--store-dirs)",
                    f">= {STORE_SHARE}x, <= {DONE_LIMIT}x", None)
    for directory, mine in grouped.items():
        share = key_median(mine, "share")
        targets.add(f"store rate against dd, {directory}",
                    "-" if share is None else f"{share:.2f}x", f">= {STORE_SHARE}x",
                    None if share is None else share >= STORE_SHARE)
        done = key_median(mine, "done_ratio")
        targets.add(f"SIGINT to \"Done!\" against dd's time for the same bytes, {directory}",
                    "-" if done is None else
                    f"{done:.2f}x ({key_median(mine, 'done'):.3f} s, dd "
                    f"{key_median(mine, 'dd_same_s'):.3f} s)",
                    f"<= {DONE_LIMIT}x", None if done is None else done <= DONE_LIMIT)


def main():
    runs = parse(sys.argv[1])
    grouped = capture_groups(runs)
    stores = store_groups(runs)
    results = lossless_results(runs)
    if grouped:
        print()
        recording_table(grouped)
        print()
        print("All figures of the capture rounds, median [range]. CPU: the program's user +")
        print("system time (all threads), less the cost of its launch wrappers measured alone:")
        wrappers = sorted({(run["tool"] == "tcpdump", run["wrapper_cpu_s"]) for run in runs
                           if run["phase"] == "capture" and "wrapper_cpu_s" in run})
        for is_tcpdump, cpu in wrappers:
            who = "tcpdump's (ip netns exec)" if is_tcpdump else \
                "the recorder's (ip netns exec, private /dev with the driver's node, stdbuf)"
            print(f"  {who}: {cpu} s.")
        print("CPU until SIGINT: start, capture and Buffers added; after: stop, store and exit.")
        print("x tcpdump: the median's ratio to tcpdump's. Plan: the memory plan of the mode.")
        print("Store: from its announcement to the file's last write; store/dd: rate ratio.")
        print()
        detail_table(grouped)
    if stores:
        print()
        store_table(stores)
    if results:
        print()
        lossless_table(results, runs)
    targets = Targets()
    cpu_targets(targets, grouped)
    lossless_targets(targets, runs, results)
    store_targets(targets, stores)
    capture_targets(targets, grouped)
    print()
    print("Targets:")
    print()
    targets.show()
    print()
    print("all targets met" if not targets.missed else f"{targets.missed} target(s) missed")
    return 1 if targets.missed else 0


if __name__ == "__main__":
    sys.exit(main())
