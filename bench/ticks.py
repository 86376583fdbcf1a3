#!/usr/bin/env python3
"""Tick-time benchmark: how long each 64-sample tick of the real Pd host takes
with the chain designer -> analysis -> synthesis -> delay running, in steady
state, while the bank changes and while fast mode is switched on and off.

Every tick is timed inside the patch: [bang~] -> [t b b] -> [realtime] (the
right outlet reads the time since the previous tick, the left one restarts
the clock) into an array, which is written as a 32-bit float WAV file. The
host runs with -batch, so ticks follow each other without waiting for an
audio device: a tick's interval is the time the host spent on it (DSP and
the messages and clocks of that tick). The host must run with -nrt: as root,
Pd otherwise takes real-time priority and the kernel's throttling stalls it
for tens of milliseconds about once a second, which has nothing to do with
the library. The sum of the intervals is checked against the run's own
elapsed time, read by a second [realtime] from the first tick to the end.

Called by bench/ticks.sh, which builds the library first.
"""
import argparse
import os
import re
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host import Host, Patch, read_wav  # noqa: E402

SR = 44100
TICK_MS = 64 * 1000.0 / SR  # 1.451 ms: one tick of audio

DEMO = ["set_C_d 6", "set_C_q 2"]
DENSE = ["set_C_d 16", "set_C_q 2"]


def build_message(msgs, shorten, dual):
    """The message box that designs a bank the classic way."""
    parts = list(msgs) + ["initialize", "make -1"]
    if shorten:
        parts.append("shorten -1")
    parts.append("copy_pac2paf -1")
    if dual:
        parts.append("make_dual")
    return parts


def rebuild_message(msgs, shorten):
    parts = list(msgs)
    parts.append(f"set_rebuild_shorten {1 if shorten else 0}")
    parts.append("rebuild")
    return parts


def tick_patch(start, events, dual, fast_at_start, seconds, nticks):
    """start: messages that design the first bank (sent at load); events:
    (ms, target, [messages]) with target 'bank' or 'fast'. The chain is noise
    -> analysis -> synthesis (from the dual outlet when dual) and the delay."""
    p = Patch()
    lb = p.obj("loadbang")
    trig = p.obj("t b b b")          # right to left: design, modes, dsp on
    p.connect(lb, 0, trig, 0)
    noise = p.obj("noise~")
    bank = p.obj("qbank_tilde")
    dm = p.msg(" \\, ".join(start))
    p.connect(trig, 2, dm, 0)
    p.connect(dm, 0, bank, 0)
    ana = p.obj("qavex_tilde")
    syn = p.obj("invqavex_tilde")
    lag = p.obj("qlag_tilde")
    p.connect(noise, 0, ana, 0)
    p.connect(bank, 0, ana, 1)
    p.connect(ana, 0, syn, 0)
    p.connect(bank if dual else ana, 2 if dual else 1, syn, 1)
    p.connect(noise, 0, lag, 0)
    p.connect(syn, 1, lag, 1)
    if fast_at_start:
        f = p.msg("set_fast 1")
        p.connect(trig, 1, f, 0)
        p.connect(f, 0, ana, 0)
        p.connect(f, 0, syn, 0)
    for ms, target, msgs in events:
        d = p.obj(f"del {ms!r}")
        m = p.msg(" \\, ".join(msgs))
        p.connect(lb, 0, d, 0)
        p.connect(d, 0, m, 0)
        if target == "bank":
            p.connect(m, 0, bank, 0)
        else:
            p.connect(m, 0, ana, 0)
            p.connect(m, 0, syn, 0)
    dsp = p.msg("\\; pd dsp 1")
    p.connect(trig, 0, dsp, 0)
    # Tick timing: interval since the previous tick into ticks[n].
    p.obj(f"array define ticks {nticks}")
    bt = p.obj("bang~")
    tt = p.obj("t b b b")            # right to left: index, read, restart
    rt = p.obj("realtime")
    cnt = p.obj("f")
    inc = p.obj("+ 1")
    last = p.obj("f")
    tw = p.obj("tabwrite ticks")
    p.connect(bt, 0, tt, 0)
    p.connect(tt, 2, cnt, 0)
    p.connect(cnt, 0, inc, 0)
    p.connect(inc, 0, cnt, 1)
    p.connect(cnt, 0, tw, 1)
    p.connect(cnt, 0, last, 1)
    p.connect(tt, 1, rt, 1)
    p.connect(rt, 0, tw, 0)
    p.connect(tt, 0, rt, 0)
    # Whole run: from the first tick to the end ([spigot] closes after it).
    gate = p.obj("spigot 1")
    gt = p.obj("t b b")
    shut = p.msg("0")
    total = p.obj("realtime")
    p.connect(bt, 0, gate, 0)
    p.connect(gate, 0, gt, 0)
    p.connect(gt, 1, shut, 0)
    p.connect(shut, 0, gate, 1)
    p.connect(gt, 0, total, 0)
    end = p.obj(f"del {seconds * 1000.0!r}")
    et = p.obj("t b b b")            # right to left: total, count, write + quit
    p.connect(lb, 0, end, 0)
    p.connect(end, 0, et, 0)
    pt = p.obj("print total_ms")
    p.connect(et, 2, total, 1)
    p.connect(total, 0, pt, 0)
    pc = p.obj("print ticks_read")
    p.connect(et, 1, last, 0)
    p.connect(last, 0, pc, 0)
    wr = p.msg("write -bytes 4 ticks.wav ticks")
    sf = p.obj("soundfiler")
    q = p.msg("\\; pd quit")
    p.connect(et, 0, wr, 0)
    p.connect(wr, 0, sf, 0)
    p.connect(et, 0, q, 0)
    return p


def scenarios(seconds, has_rebuild):
    """(name, start messages, events, dual, fast at start)."""
    a, b = seconds * 1000.0 / 3, seconds * 2000.0 / 3
    out = [
        ("steady, demo (`C_d` 6, `C_q` 2)", build_message(DEMO, True, False), [], False, True),
        ("steady, `C_d` 16, `C_q` 2, duals", build_message(DENSE, True, True), [], True, True),
        ("steady, `C_d` 16, `C_q` 2, duals, full windows", build_message(DENSE, False, True), [],
         True, True),
        ("bank change by messages: demo -> `C_d` 16 duals -> demo",
         build_message(DEMO, True, True),
         [(a, "bank", build_message(DENSE, True, True)), (b, "bank", build_message(DEMO, True, True))],
         True, True),
    ]
    if has_rebuild:
        out.append(("bank change by `rebuild`: demo -> `C_d` 16 duals -> demo",
                    build_message(DEMO, True, True),
                    [(a, "bank", rebuild_message(DENSE, True)), (b, "bank", rebuild_message(DEMO, True))],
                    True, True))
    # Fast mode off for a moment and on again (the exact mode of the dense
    # bank costs far more than a tick, so it stays off only briefly). At the
    # start values the exact mode fits in a tick: that row shows the switch
    # itself.
    for label, msgs, dual in (("demo", DEMO, False), ("`C_d` 16 duals", DENSE, True),
                              ("start values", [], False)):
        ev = []
        for t in (a, b):
            ev += [(t, "fast", ["set_fast 0"]), (t + 50.0, "fast", ["set_fast 1"])]
        out.append((f"`set_fast` 0 and 50 ms later 1, twice, {label}",
                    build_message(msgs, True, dual), ev, dual, True))
    return out


def percentile(sorted_v, q):
    if not sorted_v:
        return float("nan")
    k = min(len(sorted_v) - 1, max(0, int(round(q * (len(sorted_v) - 1)))))
    return sorted_v[k]


def probe_rebuild(host):
    p = Patch()
    lb = p.obj("loadbang")
    bank = p.obj("qbank_tilde")
    m = p.msg("rebuild")
    p.connect(lb, 0, m, 0)
    p.connect(m, 0, bank, 0)
    q = p.msg("\\; pd quit")
    p.connect(lb, 0, q, 0)
    _, _, console = host.run(p, "probe_rebuild", 60)
    return "no method for 'rebuild'" not in console


def run_one(host, sc, seconds, tag):
    name, start, events, dual, fast0 = sc
    nticks = int(seconds * SR / 64) + 200
    p = tick_patch(start, events, dual, fast0, seconds, nticks)
    path = os.path.join(host.workdir, "ticks.wav")
    if os.path.exists(path):
        os.remove(path)
    cpu, _, console = host.run(p, tag, timeout=seconds * 40 + 120)
    mt = re.search(r"^total_ms: ([0-9.e+-]+)", console, re.M)
    mc = re.search(r"^ticks_read: ([0-9.e+-]+)", console, re.M)
    if not mt or not mc or not os.path.exists(path):
        print(f"  {tag}: no result (see {tag}.console)", file=sys.stderr)
        return None
    n = int(float(mc.group(1)))
    v = list(read_wav(path))[1:n + 1]   # entry 0: time from creation to the first tick
    return v, float(mt.group(1)), cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--seconds", type=float, default=12.0, help="audio seconds per run (12)")
    ap.add_argument("--rounds", type=int, default=2, help="rounds, order alternating (2)")
    ap.add_argument("--only", help="comma-separated scenario numbers (from 0)")
    ap.add_argument("--nice", type=int, default=None,
                    help="run the host at this niceness (as root -20 keeps a loaded machine's other "
                         "processes from taking its CPU; still no real-time priority)")
    args = ap.parse_args()
    if "-nrt" not in Host.COMMAND:  # real-time priority would be throttled
        sys.exit("ticks: the host must run with -nrt")
    args.build, args.workdir = os.path.abspath(args.build), os.path.abspath(args.workdir)
    os.makedirs(args.workdir, exist_ok=True)
    log = open(os.path.join(args.workdir, "runs.tsv"), "w")
    host = Host(args.build, args.workdir, log)
    if args.nice is not None:
        host.COMMAND = ["nice", "-n", str(args.nice)] + Host.COMMAND
    has_rebuild = probe_rebuild(host)
    scs = scenarios(args.seconds, has_rebuild)
    idx = list(range(len(scs))) if not args.only else [int(i) for i in args.only.split(",")]
    res = {i: [] for i in idx}
    for r in range(args.rounds):
        order = idx if r % 2 == 0 else list(reversed(idx))
        for i in order:
            out = run_one(host, scs[i], args.seconds, f"r{r}_s{i}")
            if out:
                res[i].append(out)
                v, total, _ = out
                print(f"  round {r + 1}/{args.rounds} {scs[i][0]}: max {max(v):.2f} ms, "
                      f"sum {sum(v):.0f} of {total:.0f} ms", file=sys.stderr)
    print()
    print(f"Tick times in the real host (pd -batch -nrt), {args.seconds:g} s of noise per run, "
          f"{args.rounds} rounds" + (f", niceness {args.nice}" if args.nice is not None else "") +
          f"; fast mode unless stated; shortened windows unless stated. "
          f"One tick of audio lasts {TICK_MS:.3f} ms. Events of a run at 1/3 and 2/3 "
          f"of it.")
    print()
    print("| situation | median (ms) | p99 (ms) | p99.9 (ms) | max per round (ms) "
          f"| ticks over {TICK_MS:.3f} ms per round | ticks sum / wall | host CPU / wall |")
    print("|---|---|---|---|---|---|---|---|")
    for i in idx:
        runs = res[i]
        if not runs:
            print(f"| {scs[i][0]} |" + " n/a |" * 7)
            continue
        allv = sorted(x for v, _, _ in runs for x in v)
        maxes = " / ".join(f"{max(v):.2f}" for v, _, _ in runs)
        over = " / ".join(str(sum(1 for x in v if x > TICK_MS)) for v, _, _ in runs)
        ratio = " / ".join(f"{sum(v) / t:.3f}" if t > 0 else "n/a" for v, t, _ in runs)
        # Below 1 the host was off the CPU part of the time (a loaded machine).
        busy = " / ".join(f"{c * 1000.0 / t:.2f}" if t > 0 and c else "n/a" for _, t, c in runs)
        print(f"| {scs[i][0]} | {statistics.median(allv):.3f} | {percentile(allv, 0.99):.3f} "
              f"| {percentile(allv, 0.999):.3f} | {maxes} | {over} | {ratio} | {busy} |")
    bad = [(scs[i][0], sum(v) / t) for i in idx for v, t, _ in res[i] if t > 0 and abs(sum(v) / t - 1) > 0.02]
    print()
    if bad:
        print("Warning: in " + ", ".join(f"{n} ({x:.3f})" for n, x in bad) +
              " the tick times do not add up to the run's time (more than 2 % apart).")
    else:
        print("The tick times of every run add up to its elapsed time within 2 %.")


if __name__ == "__main__":
    main()
