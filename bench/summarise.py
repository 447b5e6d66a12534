"""Summarises the per-run figures of bench/capture-vs-tcpdump.sh: a table of medians and ranges
per frame size and program, then the targets met or missed (exit status 1 when one is missed).

Input: one line per run of key=value figures (see capture-vs-tcpdump.sh)."""

import statistics
import sys

MIB = 1024 * 1024
RSS_MARGIN_MIB = 16
STORE_SHARE = 0.80
STOP_LIMIT_S = 1.5
RECORDER_TOOLS = ("continuous", "fixed")
TOOL_ORDER = ("tcpdump", "continuous", "fixed", "stop")
TOOL_NAMES = {
    "tcpdump": "tcpdump -w",
    "continuous": "recorder continuous",
    "fixed": "recorder fixednumberofpackets",
    "stop": "recorder, Ctrl+C under traffic (store while traffic goes on)",
}


def parse(path):
    runs = []
    with open(path) as lines:
        for line in lines:
            fields = dict(item.split("=", 1) for item in line.split() if "=" in item)
            if fields:
                runs.append(fields)
    return runs


def number(run, key, default=0.0):
    try:
        return float(run.get(key, default))
    except ValueError:
        return default


def figures(run):
    """The derived figures of one run."""
    captured = number(run, "distinct")
    # The launch wrappers' own cost (measured alone with /bin/true) is not the program's.
    cpu = max(number(run, "cpu_s") - number(run, "wrapper_cpu_s"), 0.0)
    store_s = number(run, "store_s")
    store_bytes = number(run, "store_bytes")
    dd_s = number(run, "dd_s")
    result = {
        "offered": number(run, "pps") / 1000.0,
        "captured": captured,
        "missing": number(run, "missing"),
        "cpu": cpu,
        # Before the SIGINT (start, capture, Buffers added) and after it (stop, store, end).
        "cpu_capture": max(number(run, "cpu_at_signal_s") - number(run, "wrapper_cpu_s"), 0.0)
        if "cpu_at_signal_s" in run else None,
        "ns": cpu * 1e9 / captured if captured else float("inf"),
        "rss": number(run, "maxrss_kib") / 1024.0,
        "plan": number(run, "plan_bytes") / MIB,
        "stop": number(run, "end_time") - number(run, "signal_time") - store_s,
        "load": number(run, "load1"),
        "busy": number(run, "busy") * 100.0,
    }
    result["over"] = result["rss"] - result["plan"]
    if result["cpu_capture"] is not None:
        result["cpu_after"] = cpu - result["cpu_capture"]
    if store_s > 0 and dd_s > 0:
        result["store"] = store_bytes / store_s / 1e6
        result["dd"] = store_bytes / dd_s / 1e6
        result["share"] = dd_s / store_s
    return result


def spread(values, digits=0):
    values = [value for value in values if value is not None]
    if not values:
        return "-"
    middle = statistics.median(values)
    if len(values) == 1 or min(values) == max(values):
        return f"{middle:,.{digits}f}"
    return f"{middle:,.{digits}f} [{min(values):,.{digits}f}-{max(values):,.{digits}f}]"


def median(values):
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else None


def table(groups):
    columns = ("frames", "program", "runs", "offered kpps", "captured", "missing", "CPU s",
               "CPU s until SIGINT", "CPU s after", "CPU ns/pkt", "peak RSS MiB", "plan MiB", "RSS-plan MiB", "store MB/s",
               "dd MB/s", "stop s", "load1", "busy %")
    print("| " + " | ".join(columns) + " |")
    print("|" + "---|" * len(columns))
    for (size, tool), runs in groups:
        rows = [figures(run) for run in runs]
        recorder = tool != "tcpdump"

        def col(key, digits=0, show=True):
            return spread([row.get(key) for row in rows], digits) if show else "-"

        cells = (f"{size} B", TOOL_NAMES.get(tool, tool), str(len(rows)), col("offered"),
                 col("captured"), col("missing"), col("cpu", 2), col("cpu_capture", 2),
                 col("cpu_after", 2), col("ns", 0, tool != "stop"),
                 col("rss", 1), col("plan", 1, recorder), col("over", 1, recorder),
                 col("store", 0, recorder), col("dd", 0, recorder), col("stop", 2),
                 col("load", 1), col("busy", 0))
        print("| " + " | ".join(cells) + " |")


def check_targets(grouped):
    missed = []

    def verdict(ok, text):
        print(("  met    " if ok else "  MISSED ") + text)
        if not ok:
            missed.append(text)

    sizes = sorted({size for size, _ in grouped}, key=int)
    for size in sizes:
        rows = {tool: [figures(run) for run in grouped[(s, tool)]]
                for (s, tool) in grouped if s == size}
        reference = rows.get("tcpdump")
        print(f"{size}-byte frames:")
        for tool in RECORDER_TOOLS:
            if tool not in rows:
                continue
            mine = rows[tool]
            name = TOOL_NAMES[tool]
            captured = median([row["captured"] for row in mine])
            missing = median([row["missing"] for row in mine])
            if reference:
                theirs = median([row["captured"] for row in reference])
                verdict(captured >= theirs and missing == 0,
                        f"{name}: captured {captured:,.0f} (tcpdump {theirs:,.0f}), "
                        f"median missing {missing:,.0f}")
                ns = median([row["ns"] for row in mine])
                theirs_ns = median([row["ns"] for row in reference])
                verdict(ns <= theirs_ns,
                        f"{name}: {ns:,.0f} CPU ns per packet (tcpdump {theirs_ns:,.0f})")
            else:
                verdict(missing == 0, f"{name}: median missing {missing:,.0f}")
            over = max(row["over"] for row in mine)
            verdict(over <= RSS_MARGIN_MIB,
                    f"{name}: peak RSS at most {over:+.1f} MiB from the memory plan "
                    f"(limit +{RSS_MARGIN_MIB})")
            shares = [row["share"] for row in mine if "share" in row]
            if shares:
                share = median(shares)
                verdict(share >= STORE_SHARE,
                        f"{name}: store at {share:.0%} of dd's rate (limit {STORE_SHARE:.0%})")
        if "stop" in rows:
            stops = rows["stop"]
            missing = max(row["missing"] for row in stops)
            verdict(missing == 0,
                    f"Ctrl+C under traffic: {missing:,.0f} of the packets sent before the signal "
                    f"missing (worst run)")
            late = median([row["stop"] for row in stops])
            verdict(late <= STOP_LIMIT_S,
                    f"Ctrl+C under traffic: ends {late:.2f} s after the signal plus the store "
                    f"(limit {STOP_LIMIT_S} s)")
    return missed


def main():
    runs = parse(sys.argv[1])
    grouped = {}
    for run in runs:
        grouped.setdefault((run["size"], run["tool"]), []).append(run)
    order = sorted(grouped.items(),
                   key=lambda item: (int(item[0][0]), TOOL_ORDER.index(item[0][1])
                                     if item[0][1] in TOOL_ORDER else 99))
    print()
    print("Medians of the runs, [range]. CPU: the program's user + system time (all threads),")
    print("less the cost of its launch wrappers measured alone:")
    wrappers = sorted({(run["tool"] == "tcpdump", run.get("wrapper_cpu_s", "?")) for run in runs})
    for is_tcpdump, cpu in wrappers:
        who = "tcpdump's (ip netns exec)" if is_tcpdump else \
            "the recorder's (ip netns exec, private /dev with the driver's node)"
        print(f"  {who}: {cpu} s.")
    print("CPU until SIGINT: start, capture and Buffers added; after: stop, store and exit.")
    print("Plan: the memory plan of the mode. Stop: from SIGINT to the end, less the store.")
    print()
    table(order)
    print()
    print("Targets:")
    missed = check_targets(grouped)
    print()
    print(f"{'all targets met' if not missed else f'{len(missed)} target(s) missed'}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
