#!/usr/bin/env python3
"""Host benchmark: runs designer -> analysis -> synthesis -> delay in the real
Pd host and prints CPU per second of audio, the round-trip error and peak
memory, beside Pd's own STFT measured in the same rounds.

CPU is the pd process's user+sys time (wait4). A chain's own cost is the
chain patch minus a design-only patch (same design, same noise source); the
analysis is an analysis-only patch minus the design-only patch, and the
synthesis (with the delay) is the chain minus the analysis-only patch. The
STFT is its patch minus a noise-only patch. Every patch runs once per round,
rounds alternate their order, and the table shows median and minimum.

Called by bench/host.sh, which builds the library first.
"""
import argparse
import math
import os
import random
import re
import signal
import statistics
import struct
import subprocess
import sys
import time
import wave
from array import array

SR = 44100
# Classes that answer "set_fast" in this build (found by probe()).
FAST_CLASSES = set()


# ---------------------------------------------------------------- patches

class Patch:
    """A patch as text; objects are numbered in the order they are added."""

    def __init__(self):
        self.lines = ["#N canvas 0 0 900 700 12;"]
        self.count = 0

    def _add(self, kind, text):
        self.lines.append(f"#X {kind} 10 {10 + 20 * self.count} {text};")
        self.count += 1
        return self.count - 1

    def obj(self, text):
        return self._add("obj", text)

    def msg(self, text):
        return self._add("msg", text)

    def raw_object(self, lines):
        """Inserts a subpatch (its lines end with '#X restore ...')."""
        self.lines.extend(lines)
        self.count += 1
        return self.count - 1

    def connect(self, a, o, b, i):
        self.lines.append(f"#X connect {a} {o} {b} {i};")

    def text(self):
        return "\n".join(self.lines) + "\n"


STFT_N = 4096
STFT_OVERLAP = 4
# The STFT patch holds this many copies, so that its small cost stands well
# above the resolution of the process times; the figure is per copy.
STFT_COPIES = 10


def stft_subpatch():
    """Pd's own STFT: Hann-windowed rfft~/rifft~ at 4096 points, overlap 4,
    overlap-added by the subpatch's outlet~. Hann^2 at overlap 4 sums to 1.5
    and rifft~ gains N, hence the scale."""
    scale = 1.0 / (STFT_N * 1.5)
    return [
        "#N canvas 0 0 400 300 stft 0;",
        "#X obj 10 10 inlet~;",
        f"#X obj 10 30 block~ {STFT_N} {STFT_OVERLAP};",
        "#X obj 100 10 tabreceive~ hann;",
        "#X obj 10 50 *~;",
        "#X obj 10 70 rfft~;",
        "#X obj 10 90 rifft~;",
        "#X obj 10 110 *~;",
        f"#X obj 10 130 *~ {scale!r};",
        "#X obj 10 150 outlet~;",
        "#X connect 0 0 3 0;",
        "#X connect 2 0 3 1;",
        "#X connect 3 0 4 0;",
        "#X connect 4 0 5 0;",
        "#X connect 4 1 5 1;",
        "#X connect 5 0 6 0;",
        "#X connect 2 0 6 1;",
        "#X connect 6 0 7 0;",
        "#X connect 7 0 8 0;",
        "#X restore 10 400 pd stft;",
    ]


def design_message(setting, dual):
    parts = list(setting["msgs"]) + ["initialize", "make -1"]
    if setting["shorten"]:
        parts.append("shorten -1")
    parts.append("copy_pac2paf -1")
    if dual:
        parts.append("make_dual")
    return " \\, ".join(parts)


def timing_patch(kind, setting, fast, seconds):
    """kind: noise, stft, design, analysis or chain; the audio is noise~."""
    p = Patch()
    lb = p.obj("loadbang")
    trig = p.obj("t b b b")        # right to left: design, modes, dsp on
    p.connect(lb, 0, trig, 0)
    noise = p.obj("noise~")
    dsp = p.msg("\\; pd dsp 1")
    p.connect(trig, 0, dsp, 0)
    quit_del = p.obj(f"del {seconds * 1000.0!r}")
    quit_msg = p.msg("\\; pd quit")
    p.connect(lb, 0, quit_del, 0)
    p.connect(quit_del, 0, quit_msg, 0)
    if kind == "stft":
        p.obj(f"table hann {STFT_N}")
        rd = p.msg("read hann.wav hann")
        sf = p.obj("soundfiler")
        p.connect(trig, 2, rd, 0)
        p.connect(rd, 0, sf, 0)
        for _ in range(STFT_COPIES):
            st = p.raw_object(stft_subpatch())
            p.connect(noise, 0, st, 0)
        return p
    if kind == "noise":
        return p
    bank = p.obj("qbank_tilde")
    dual = bool(setting.get("dual"))
    dm = p.msg(design_message(setting, dual))
    p.connect(trig, 2, dm, 0)
    p.connect(dm, 0, bank, 0)
    if kind == "design":
        return p
    ana = p.obj("qavex_tilde")
    p.connect(noise, 0, ana, 0)
    p.connect(bank, 0, ana, 1)
    if fast:
        f = p.msg("set_fast 1")
        p.connect(trig, 1, f, 0)
        if "qavex_tilde" in FAST_CLASSES:
            p.connect(f, 0, ana, 0)
    if kind == "analysis":
        return p
    syn = p.obj("invqavex_tilde")
    lag = p.obj("qlag_tilde")
    p.connect(ana, 0, syn, 0)
    # With duals the synthesis reads the designer's dual record.
    p.connect(bank if dual else ana, 2 if dual else 1, syn, 1)
    p.connect(noise, 0, lag, 0)
    p.connect(syn, 1, lag, 1)
    if fast and "invqavex_tilde" in FAST_CLASSES:
        p.connect(f, 0, syn, 0)
    return p


def instances_patch(kind, setting, n, shared, seconds):
    """n chains in one patch, all fed by one noise~, in fast mode: a designer
    each, or one designer feeding them all (shared). kind "design" holds the
    designers and the noise source alone."""
    p = Patch()
    lb = p.obj("loadbang")
    trig = p.obj("t b b b")        # right to left: design, modes, dsp on
    p.connect(lb, 0, trig, 0)
    noise = p.obj("noise~")
    dsp = p.msg("\\; pd dsp 1")
    p.connect(trig, 0, dsp, 0)
    quit_del = p.obj(f"del {seconds * 1000.0!r}")
    quit_msg = p.msg("\\; pd quit")
    p.connect(lb, 0, quit_del, 0)
    p.connect(quit_del, 0, quit_msg, 0)
    dm = p.msg(design_message(setting, False))
    p.connect(trig, 2, dm, 0)
    f = p.msg("set_fast 1")
    p.connect(trig, 1, f, 0)
    banks = []
    for _ in range(1 if shared else n):
        bank = p.obj("qbank_tilde")
        p.connect(dm, 0, bank, 0)
        banks.append(bank)
    if kind == "design":
        return p
    for c in range(n):
        ana = p.obj("qavex_tilde")
        syn = p.obj("invqavex_tilde")
        lag = p.obj("qlag_tilde")
        p.connect(noise, 0, ana, 0)
        p.connect(banks[0 if shared else c], 0, ana, 1)
        p.connect(ana, 0, syn, 0)
        p.connect(ana, 1, syn, 1)
        p.connect(noise, 0, lag, 0)
        p.connect(syn, 1, lag, 1)
        for o in (ana, syn):
            if ("qavex_tilde" if o == ana else "invqavex_tilde") in FAST_CLASSES:
                p.connect(f, 0, o, 0)
    return p


def error_patch(setting, fast, dual, nsamples, record):
    """Plays the array 'src' (read from src.wav) through the chain and records
    the resynthesis with own windows (res_own), with dual windows (res_dual,
    when dual) and the dry signal delayed by the latency (dry); writes them
    as 32-bit float WAV files and quits. Also posts the bank's hops."""
    p = Patch()
    lb = p.obj("loadbang")
    trig = p.obj("t b b b b")      # right to left: read, design, modes, start
    p.connect(lb, 0, trig, 0)
    p.obj(f"table src {nsamples}")
    for name in ("res_own", "res_dual", "dry"):
        p.obj(f"table {name} {record}")
    rd = p.msg("read src.wav src")
    sf = p.obj("soundfiler")
    p.connect(trig, 3, rd, 0)
    p.connect(rd, 0, sf, 0)
    bank = p.obj("qbank_tilde")
    dm = p.msg(design_message(setting, dual) + " \\, print_band -1")
    p.connect(trig, 2, dm, 0)
    p.connect(dm, 0, bank, 0)
    play = p.obj("tabplay~ src")
    ana = p.obj("qavex_tilde")
    own = p.obj("invqavex_tilde")
    lag = p.obj("qlag_tilde")
    p.connect(play, 0, ana, 0)
    p.connect(bank, 0, ana, 1)
    p.connect(ana, 0, own, 0)
    p.connect(ana, 1, own, 1)
    p.connect(play, 0, lag, 0)
    p.connect(own, 1, lag, 1)
    syns = [own]
    if dual:
        dsyn = p.obj("invqavex_tilde")
        p.connect(ana, 0, dsyn, 0)
        p.connect(bank, 2, dsyn, 1)
        syns.append(dsyn)
        w = p.obj("tabwrite~ res_dual")
        p.connect(dsyn, 0, w, 0)
        p.connect(trig, 0, w, 0)
    if fast:
        f = p.msg("set_fast 1")
        p.connect(trig, 1, f, 0)
        if "qavex_tilde" in FAST_CLASSES:
            p.connect(f, 0, ana, 0)
        if "invqavex_tilde" in FAST_CLASSES:
            for o in syns:
                p.connect(f, 0, o, 0)
    chg = p.obj("change")
    pr = p.obj("print latency")
    p.connect(own, 1, chg, 0)
    p.connect(chg, 0, pr, 0)
    for name, src in (("res_own", own), ("dry", lag)):
        w = p.obj(f"tabwrite~ {name}")
        p.connect(src, 0, w, 0)
        p.connect(trig, 0, w, 0)
    dsp = p.msg("\\; pd dsp 1")
    p.connect(trig, 0, dsp, 0)
    p.connect(trig, 0, play, 0)
    ms = (record + 64) * 1000.0 / SR
    d1 = p.obj(f"del {ms!r}")
    wr = p.msg("write -bytes 4 res_own.wav res_own \\, write -bytes 4 res_dual.wav res_dual"
               " \\, write -bytes 4 dry.wav dry")
    sf2 = p.obj("soundfiler")
    q = p.msg("\\; pd quit")
    t2 = p.obj("t b b")            # write the files, then quit
    p.connect(lb, 0, d1, 0)
    p.connect(d1, 0, t2, 0)
    p.connect(t2, 1, wr, 0)
    p.connect(wr, 0, sf2, 0)
    p.connect(t2, 0, q, 0)
    return p


# ---------------------------------------------------------------- files

def write_wav(path, samples):
    data = array("f", samples).tobytes()
    fmt = struct.pack("<HHIIHH", 3, 1, SR, SR * 4, 4, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    """First channel of a 32-bit float WAV file."""
    with open(path, "rb") as f:
        b = f.read()
    pos, fmt, chans = 12, None, 1
    while pos + 8 <= len(b):
        cid, size = b[pos:pos + 4], struct.unpack("<I", b[pos + 4:pos + 8])[0]
        body = b[pos + 8:pos + 8 + size]
        if cid == b"fmt ":
            fmt, chans = struct.unpack("<HH", body[:4])
            bits = struct.unpack("<H", body[14:16])[0]
            if bits != 32:
                raise ValueError(f"{path}: {bits}-bit samples, expected 32-bit float")
        elif cid == b"data":
            a = array("f")
            a.frombytes(body[:len(body) // 4 * 4])
            return a[::chans] if chans > 1 else a
        pos += 8 + size + (size & 1)
    raise ValueError(f"{path}: no data chunk")


# ---------------------------------------------------------------- running

class Host:
    # The host runs with -nrt: as root it would otherwise take real-time
    # priority, and the kernel's throttling of that stalls whole ticks.
    COMMAND = ["pd", "-nogui", "-batch", "-noaudio", "-noprefs", "-stderr", "-nrt"]

    def __init__(self, build, workdir, log):
        self.build, self.workdir, self.log = build, workdir, log

    def run(self, patch, name, timeout):
        """Runs one patch; returns (cpu seconds, max RSS in MB, console)."""
        path = os.path.join(self.workdir, name + ".pd")
        with open(path, "w") as f:
            f.write(patch.text())
        cons_path = os.path.join(self.workdir, name + ".console")
        with open(cons_path, "w") as out:
            proc = subprocess.Popen(
                self.COMMAND + ["-path", self.build, "-lib", "qavex", "-open", path],
                stdout=out, stderr=subprocess.STDOUT, cwd=self.workdir)
            t0 = time.monotonic()
            while True:
                pid, status, ru = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    break
                if time.monotonic() - t0 > timeout:
                    os.kill(proc.pid, signal.SIGKILL)
                    pid, status, ru = os.wait4(proc.pid, 0)
                    print(f"  {name}: killed after {timeout} s", file=sys.stderr)
                    status = -1
                    break
                time.sleep(0.05)
            proc.returncode = status
        with open(cons_path) as f:
            console = f.read()
        cpu = ru.ru_utime + ru.ru_stime
        self.log.write(f"{name}\t{cpu:.3f}\t{ru.ru_maxrss / 1024:.1f}\t{status}\n")
        self.log.flush()
        if status != 0 or "can't load library" in console:
            print(f"  {name}: failed (see {cons_path})", file=sys.stderr)
            return None, None, console
        return cpu, ru.ru_maxrss / 1024.0, console


def probe(host):
    """Which optional features this build has: fast mode and dual windows."""
    p = Patch()
    lb = p.obj("loadbang")
    bank = p.obj("qbank_tilde")
    ana = p.obj("qavex_tilde")
    syn = p.obj("invqavex_tilde")
    f = p.msg("set_fast 1")
    dm = p.msg("make_dual")
    p.connect(lb, 0, f, 0)
    p.connect(f, 0, ana, 0)
    p.connect(f, 0, syn, 0)
    p.connect(lb, 0, dm, 0)
    p.connect(dm, 0, bank, 0)
    p.connect(bank, 2, syn, 1)
    q = p.msg("\\; pd quit")
    p.connect(lb, 0, q, 0)
    _, _, console = host.run(p, "probe", 60)
    for cls in ("qavex_tilde", "invqavex_tilde"):
        if not re.search(rf"(?<![a-z]){cls}: no method for 'set_fast'", console):
            FAST_CLASSES.add(cls)
    dual = "no method for 'make_dual'" not in console and "connection failed" not in console
    return bool(FAST_CLASSES), dual


# ---------------------------------------------------------------- signals

VOICE = "/usr/share/puredata/doc/sound/voice.wav"   # Pd's documentation (puredata-doc)


def voice_samples():
    """Pd's spoken example (16-bit mono), as floats in [-1, 1)."""
    with wave.open(VOICE) as w:
        if w.getsampwidth() != 2 or w.getframerate() != SR:
            raise ValueError(f"{VOICE}: expected 16-bit samples at {SR} Hz")
        raw = array("h")
        raw.frombytes(w.readframes(w.getnframes()))
        return [v / 32768.0 for v in raw[::w.getnchannels()]]


def make_signal(kind, n, rng):
    if kind == "voice":   # the recording once, then silence
        v = voice_samples()[:n]
        return v + [0.0] * (n - len(v))
    if kind == "noise":
        return [rng.uniform(-0.5, 0.5) for _ in range(n)]
    if kind == "sweep":   # linear 0 -> 10 kHz over the segment
        k = 10000.0 / (n / SR)
        return [0.5 * math.sin(math.pi * k * (i / SR) ** 2) for i in range(n)]
    if kind.startswith("sine"):
        f = float(kind[4:])
        return [0.5 * math.sin(2 * math.pi * f * i / SR) for i in range(n)]
    raise ValueError(kind)


SIGNAL_LABEL = {"noise": "white noise", "sweep": "sweep 0-10 kHz", "voice": "voice.wav",
                "sine1000": "sine 1 kHz", "sine3100": "sine 3.1 kHz"}


def err_db(res, ref, a, b):
    num = den = 0.0
    for i in range(a, b):
        d = res[i] - ref[i]
        num += d * d
        den += ref[i] * ref[i]
    if den == 0.0:
        return float("nan")
    if num == 0.0:
        return float("-inf")
    return 10.0 * math.log10(num / den)


def coeff_rate(console):
    """Coefficients per second from the bank's hops ('print_band -1'); bands
    without a float window publish nothing."""
    rate = 0.0
    for m in re.finditer(r"^Band\s+\d+\s*:.*?d =\s+(-?\d+)\s+\[smp\], Length =\s+(\S+)",
                         console, re.M):
        d, length = int(m.group(1)), m.group(2)
        if d >= 1 and length.lower() not in ("nan", "-nan"):
            rate += SR / d
    return rate


def error_run(host, setting, fast, dual, signals, seg_s, tag):
    """One run with the signals back to back; returns ({signal: dB own},
    {signal: dB dual}, coefficient rate, latency)."""
    seg = int(seg_s * SR)
    rng = random.Random(1)
    src = []
    for s in signals:
        src += make_signal(s, seg, rng)
    write_wav(os.path.join(host.workdir, "src.wav"), src)
    record = len(src) + 12000 + 64   # room for the latency (Lm - 1 < 12000)
    p = error_patch(setting, fast, dual, len(src), record)
    for name in ("res_own", "res_dual", "dry"):
        try:
            os.remove(os.path.join(host.workdir, name + ".wav"))
        except FileNotFoundError:
            pass
    _, _, console = host.run(p, "err_" + tag, timeout=600)
    m = re.search(r"^latency: (\d+)", console, re.M)
    if not m:
        print(f"  {tag}: no latency in the console", file=sys.stderr)
        return None, None, coeff_rate(console), None
    lat = int(m.group(1))
    lm = lat + 1
    if lat + len(src) > record:
        raise RuntimeError("latency longer than the recording margin")
    dry = read_wav(os.path.join(host.workdir, "dry.wav"))
    own = read_wav(os.path.join(host.workdir, "res_own.wav"))
    duals = read_wav(os.path.join(host.workdir, "res_dual.wav")) if dual else None
    e_own, e_dual = {}, {}
    for k, s in enumerate(signals):
        # Output at input time t depends on input t-Lm+1 .. t+Lm-1: skip one
        # window length after each segment start and before each segment end.
        a = k * seg + lm + lat
        b = (k + 1) * seg + lat - lm
        e_own[s] = err_db(own, dry, a, b)
        if duals is not None:
            e_dual[s] = err_db(duals, dry, a, b)
    return e_own, (e_dual if dual else None), coeff_rate(console), lat


# ---------------------------------------------------------------- timing

def timing_rounds(host, jobs, rounds, seconds):
    """jobs: list of (key, kind, setting, fast), kind a timing_patch kind or a
    function of the seconds that makes the patch. Returns {key: [cpu per round]}
    and {key: [max RSS]}; each round runs every job, alternating direction."""
    cpu = {k: [] for k, *_ in jobs}
    rss = {k: [] for k, *_ in jobs}
    for r in range(rounds):
        order = jobs if r % 2 == 0 else list(reversed(jobs))
        for key, kind, setting, fast in order:
            p = kind(seconds) if callable(kind) else timing_patch(kind, setting, fast, seconds)
            c, m, _ = host.run(p, f"r{r}_{key}", timeout=seconds * 40 + 120)
            cpu[key].append(c)
            rss[key].append(m)
            print(f"  round {r + 1}/{rounds} {key}: {c if c is None else round(c, 2)} s",
                  file=sys.stderr)
    return cpu, rss


def per_round(a, b, seconds):
    """(a - b) / seconds for each round where both ran."""
    return [(x - y) / seconds for x, y in zip(a, b) if x is not None and y is not None]


def fmt_cpu(v):
    if not v:
        return "n/a"
    return f"{statistics.median(v):.3f} ({min(v):.3f})"


def fmt_db(v):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "n/a"
    return f"{v:.1f}"


# ---------------------------------------------------------------- tables

HOST_SETTINGS = [
    dict(name="start values, full windows", msgs=[], shorten=False),
    dict(name="start values, shortened", msgs=[], shorten=True),
    dict(name="`C_d` 8, shortened", msgs=["set_C_d 8"], shorten=True),
    dict(name="demo (`C_d` 6, `C_q` 2), shortened", msgs=["set_C_d 6", "set_C_q 2"], shorten=True),
    dict(name="`C_d` 16, `C_q` 2, shortened", msgs=["set_C_d 16", "set_C_q 2"], shorten=True),
    dict(name="`C_d` 16, `C_q` 2, shortened, duals", msgs=["set_C_d 16", "set_C_q 2"], shorten=True, dual=True),
]

FIDELITY_SETTINGS = [
    dict(name="start values (`C_d` 2, `C_q` 0)", msgs=[], shorten=True),
    dict(name="`C_d` 2, `C_q` 2", msgs=["set_C_q 2"], shorten=True),
    dict(name="`C_d` 8, `C_q` 0", msgs=["set_C_d 8"], shorten=True),
    dict(name="`C_d` 8, `C_q` 2", msgs=["set_C_d 8", "set_C_q 2"], shorten=True),
    dict(name="`C_d` 16, `C_q` 0", msgs=["set_C_d 16"], shorten=True),
    dict(name="`C_d` 16, `C_q` 2", msgs=["set_C_d 16", "set_C_q 2"], shorten=True),
    dict(name="demo (`C_d` 6, `C_q` 2)", msgs=["set_C_d 6", "set_C_q 2"], shorten=True),
    dict(name="`C_d` 16, `C_q` 2, compute type 1", msgs=["set_C_d 16", "set_C_q 2", "set_compute_type 1"],
         shorten=True),
]


# Bank settings and latency bounds ("set_max_latency", ms; 0: none) of the
# latency table.
LATENCY_SETTINGS = [
    dict(name="`C_d` 16, `C_q` 2", msgs=["set_C_d 16", "set_C_q 2"]),
    dict(name="`C_d` 16, `C_q` 2, compute type 1", msgs=["set_C_d 16", "set_C_q 2", "set_compute_type 1"]),
    dict(name="`C_d` 8, `C_q` 2", msgs=["set_C_d 8", "set_C_q 2"]),
]
LATENCIES_MS = [0, 100, 50, 20, 10, 5]


def selected(settings, args):
    if not args.only:
        return settings
    return [settings[int(i)] for i in args.only.split(",")]


def host_table(host, args, has_fast):
    settings = selected(HOST_SETTINGS, args)
    modes = [m == "fast" for m in ("exact", "fast") if args.mode in (m, "both")]
    modes = [m for m in modes if has_fast or not m]
    jobs = [("noise", "noise", None, False), ("stft", "stft", None, False)]
    for i, s in enumerate(settings):
        jobs.append((f"s{i}_design", "design", s, False))
        for fast in modes:
            m = "fast" if fast else "exact"
            jobs.append((f"s{i}_{m}_analysis", "analysis", s, fast))
            jobs.append((f"s{i}_{m}_chain", "chain", s, fast))
    print(f"timing: {len(jobs)} patches x {args.rounds} rounds x {args.seconds} s of noise",
          file=sys.stderr)
    cpu, rss = timing_rounds(host, jobs, args.rounds, args.seconds)
    sec = args.seconds
    stft = [x / STFT_COPIES for x in per_round(cpu["stft"], cpu["noise"], sec)]
    rows = []
    for i, s in enumerate(settings):
        for fast in (False, True):
            m = "fast" if fast else "exact"
            if args.mode not in (m, "both"):
                continue
            if fast and not has_fast:
                rows.append([s["name"], m] + ["n/a"] * 7)
                continue
            d, a, c = cpu[f"s{i}_design"], cpu[f"s{i}_{m}_analysis"], cpu[f"s{i}_{m}_chain"]
            ana, chain, syn = per_round(a, d, sec), per_round(c, d, sec), per_round(c, a, sec)
            ratio = [x / y for x, y in zip(chain, stft) if y > 0]
            print(f"error run: {s['name']}, {m}", file=sys.stderr)
            e, ed, _, _ = error_run(host, s, fast, bool(s.get("dual")), ["noise", "sweep"], args.err_seconds,
                                    f"s{i}_{m}")
            e = ed if s.get("dual") else e
            mem = [x for x in rss[f"s{i}_{m}_chain"] if x is not None]
            rows.append([s["name"], m, fmt_cpu(ana), fmt_cpu(syn), fmt_cpu(chain),
                         f"{statistics.median(ratio):.0f}" if ratio else "n/a",
                         fmt_db(e and e["noise"]), fmt_db(e and e["sweep"]),
                         f"{statistics.median(mem):.0f}" if mem else "n/a"])
    print()
    print(f"Host benchmark: {args.seconds:g} s of white noise per run, {args.rounds} alternating "
          f"rounds; CPU in core-s per audio-s as median (min).")
    print(f"Pd STFT ([block~ {STFT_N} {STFT_OVERLAP}], rfft~/rifft~, Hann): {fmt_cpu(stft)}")
    print(fast_note())
    print()
    print("| settings | mode | analysis | synthesis | chain | chain / STFT | error, noise (dB)"
          " | error, sweep (dB) | peak memory (MB) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


def instances_table(host, args, has_fast):
    """CPU per chain with 1, 2, 8, 16 chains in one patch, a designer each and
    one shared designer, fast mode; each chain's cost is the patch minus a
    patch with the same designers and no chains."""
    if not has_fast:
        print("Instances: fast mode not in this build (n/a).")
        return
    setting = selected(HOST_SETTINGS, args)[0] if args.only else HOST_SETTINGS[3]
    counts = sorted({1} | {int(c) for c in args.counts.split(",")})
    jobs, done = [], set()
    for n in counts:
        for shared in (False, True):
            d = 1 if shared else n
            if f"design{d}" not in done:
                done.add(f"design{d}")
                jobs.append((f"design{d}", lambda s, d=d: instances_patch("design", setting, d, False, s),
                             None, True))
            key = f"chain{n}_{'shared' if shared and n > 1 else 'each'}"
            if key not in done:
                done.add(key)
                jobs.append((key, lambda s, n=n, sh=shared: instances_patch("chain", setting, n, sh, s),
                             None, True))
    print(f"instances: {len(jobs)} patches x {args.rounds} rounds x {args.seconds} s of noise",
          file=sys.stderr)
    cpu, rss = timing_rounds(host, jobs, args.rounds, args.seconds)
    sec = args.seconds
    one = per_round(cpu["chain1_each"], cpu["design1"], sec)
    rows = []
    for shared in (False, True):
        for n in counts:
            if shared and n == 1:
                continue
            key = f"chain{n}_{'shared' if shared and n > 1 else 'each'}"
            total = per_round(cpu[key], cpu[f"design{1 if shared else n}"], sec)
            each = [t / n for t in total]
            ratio = [e / o for e, o in zip(each, one) if o > 0]
            mem = [x for x in rss[key] if x is not None]
            rows.append([str(n), "one shared" if shared else ("one" if n == 1 else "one each"),
                         fmt_cpu(each), f"{statistics.median(ratio):.2f}" if ratio else "n/a",
                         fmt_cpu(total), f"{statistics.median(mem):.0f}" if mem else "n/a"])
    print()
    print(f"Instances: {setting['name']}, fast mode on the analysis and the synthesis; "
          f"{args.seconds:g} s of white noise per run, {args.rounds} alternating rounds; "
          f"CPU in core-s per audio-s as median (min); the ratio is per chain over one chain, "
          f"round by round.")
    print()
    print("| chains | designers | CPU per chain | per chain / one chain | CPU, all chains"
          " | peak memory (MB) |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


def fast_note():
    if not FAST_CLASSES:
        return "Fast mode: not in this build (n/a)."
    return "Fast mode: `set_fast 1` sent to " + " and ".join(sorted(FAST_CLASSES)) + "."


def fidelity_table(host, args, has_fast, has_dual):
    fast = has_fast
    mode = "fast" if fast else "exact"
    signals = ["noise", "sweep", "sine1000", "sine3100"]
    settings = selected(FIDELITY_SETTINGS, args)
    jobs = []
    for i, s in enumerate(settings):
        jobs.append((f"f{i}_design", "design", s, False))
        jobs.append((f"f{i}_chain", "chain", s, fast))
    print(f"timing ({mode} mode): {len(jobs)} patches x {args.rounds} rounds x "
          f"{args.seconds} s of noise", file=sys.stderr)
    cpu, _ = timing_rounds(host, jobs, args.rounds, args.seconds)
    rows, best = [], None
    for i, s in enumerate(settings):
        chain = per_round(cpu[f"f{i}_chain"], cpu[f"f{i}_design"], args.seconds)
        print(f"error run: {s['name']}", file=sys.stderr)
        e_own, e_dual, rate, _ = error_run(host, s, fast, has_dual, signals, args.err_seconds,
                                           f"f{i}")
        cells = [s["name"], f"{rate:,.0f}".replace(",", " "), fmt_cpu(chain)]
        for sig in signals:
            o = fmt_db(e_own and e_own.get(sig))
            d = fmt_db(e_dual.get(sig)) if e_dual else "n/a"
            cells.append(f"{o} / {d}")
        rows.append(cells)
        med = statistics.median(chain) if chain else None
        key = (e_dual or e_own or {}).get("noise")
        if med is not None and med <= 0.25 and key is not None and (best is None or key < best[0]):
            best = (key, s["name"], med)
    print()
    print(f"Fidelity: round-trip error in dB, own windows / dual windows; {args.err_seconds:g} s "
          f"per signal, error measured after the first window length; shortened windows; "
          f"CPU of the chain in core-s per audio-s, {mode} mode, median (min) of "
          f"{args.rounds} rounds of {args.seconds:g} s.")
    print()
    print(fast_note() + (" Dual windows: n/a in this build." if not has_dual else ""))
    print()
    print("| settings | coefficients/s | chain CPU | " + " | ".join(SIGNAL_LABEL[s] for s in signals)
          + " |")
    print("|---|---|---|" + "---|" * len(signals))
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    if best:
        print(f"Best real-time setting (chain <= 0.25 core-s per audio-s, {mode} mode): "
              f"{best[1]}, {best[0]:.1f} dB on white noise at {best[2]:.3f} core-s per audio-s.")
    else:
        print(f"No setting runs at <= 0.25 core-s per audio-s in {mode} mode.")


def latency_table(host, args, has_fast, has_dual):
    fast = has_fast
    mode = "fast" if fast else "exact"
    signals = ["noise", "sweep", "voice"]
    runs = []
    for i, s in enumerate(selected(LATENCY_SETTINGS, args)):
        for ms in LATENCIES_MS:
            msgs = list(s["msgs"]) + ([f"set_max_latency {ms:g}"] if ms else [])
            runs.append((f"l{i}_{ms:g}", s["name"], ms, dict(name=s["name"], msgs=msgs, shorten=True)))
    jobs = []
    for tag, _, _, st in runs:
        jobs.append((tag + "_design", "design", st, False))
        jobs.append((tag + "_chain", "chain", st, fast))
    print(f"timing ({mode} mode): {len(jobs)} patches x {args.rounds} rounds x "
          f"{args.seconds} s of noise", file=sys.stderr)
    cpu, _ = timing_rounds(host, jobs, args.rounds, args.seconds)
    rows = []
    for tag, name, ms, st in runs:
        chain = per_round(cpu[tag + "_chain"], cpu[tag + "_design"], args.seconds)
        print(f"error run: {name}, {ms:g} ms", file=sys.stderr)
        e_own, e_dual, _, lat = error_run(host, st, fast, has_dual, signals, args.err_seconds, tag)
        e = e_dual if has_dual else e_own
        bound = f"{ms:g}" if ms else "none"
        latency = f"{lat} ({lat * 1000.0 / SR:.1f} ms)" if lat is not None else "n/a"
        rows.append([name, bound, latency] + [fmt_db(e and e.get(sig)) for sig in signals] + [fmt_cpu(chain)])
    print()
    print(f"Latency: round-trip error in dB with {'dual' if has_dual else 'own'} windows against "
          f"`set_max_latency` (sent before `initialize`; `make -1`, `shorten -1`, `copy_pac2paf -1`"
          f"{', `make_dual`' if has_dual else ''}); {args.err_seconds:g} s per signal, error measured "
          f"after the first window length; latency as the synthesis reports it, in samples (ms at "
          f"44.1 kHz); CPU of the chain in core-s per audio-s, {mode} mode, median (min) of "
          f"{args.rounds} rounds of {args.seconds:g} s.")
    print()
    print(fast_note())
    print()
    print("| settings | `set_max_latency` (ms) | latency, samples (ms) | "
          + " | ".join(SIGNAL_LABEL[s] for s in signals) + " | chain CPU |")
    print("|---|---|---|" + "---|" * len(signals) + "---|")
    for r in rows:
        print("| " + " | ".join(r) + " |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", required=True, help="directory holding qavex.pd_linux")
    ap.add_argument("--workdir", required=True, help="where patches and recordings go")
    ap.add_argument("--quick", action="store_true", help="3 s of audio, 2 rounds")
    ap.add_argument("--fidelity", action="store_true", help="the fidelity table instead")
    ap.add_argument("--instances", action="store_true",
                    help="CPU per chain with many chains in one patch, fast mode, demo settings")
    ap.add_argument("--counts", default="1,2,8,16", help="chain counts of --instances (1,2,8,16)")
    ap.add_argument("--latency", action="store_true", help="the fidelity-against-latency table instead")
    ap.add_argument("--seconds", type=float, help="audio seconds per timing run (20)")
    ap.add_argument("--rounds", type=int, help="alternating rounds (3)")
    ap.add_argument("--only", help="comma-separated row numbers of the settings to run (from 0)")
    ap.add_argument("--mode", choices=["exact", "fast", "both"], default="both",
                    help="modes of the timing table (both)")
    args = ap.parse_args()
    args.seconds = args.seconds or (3.0 if args.quick else 20.0)
    args.rounds = args.rounds or (2 if args.quick else 3)
    args.err_seconds = 1.5 if args.quick else 3.0
    os.makedirs(args.workdir, exist_ok=True)
    write_wav(os.path.join(args.workdir, "hann.wav"),
              [0.5 - 0.5 * math.cos(2 * math.pi * i / STFT_N) for i in range(STFT_N)])
    with open(os.path.join(args.workdir, "runs.tsv"), "a") as log:
        host = Host(os.path.abspath(args.build), os.path.abspath(args.workdir), log)
        has_fast, has_dual = probe(host)
        print(f"fast mode: {' and '.join(sorted(FAST_CLASSES)) or 'n/a'}; dual windows: "
              f"{'yes' if has_dual else 'n/a'}", file=sys.stderr)
        if args.latency:
            latency_table(host, args, has_fast, has_dual)
        elif args.fidelity:
            fidelity_table(host, args, has_fast, has_dual)
        elif args.instances:
            instances_table(host, args, has_fast)
        else:
            host_table(host, args, has_fast)


if __name__ == "__main__":
    main()
