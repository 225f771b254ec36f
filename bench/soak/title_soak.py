#!/usr/bin/env python3
"""Long run of the built player against the station simulator: a title every 5 s, every
stream connection dropped every 2 minutes, and a title storm phase (a new title in every
metadata block). Afterwards the player's debug log must hold every title the station
announced, with its loudness line, in order, none missing and none twice.

    python3 bench/soak/title_soak.py [--build build-test] [--minutes 30] [--out DIR]

The player runs on the offscreen platform with the null audio output. Exit status 0 when
the log passes, 1 when it does not (the reasons are printed), 2 when the run failed.

How the log is checked: the simulator's titles repeat in a fixed cycle, and both the
schedule (one title after the other) and the storm (the next title of the cycle in every
block) announce the cycle's next title each time. So in the sequence of loudness lines
each title must be followed by its successor in the cycle; a title left out shows as a
skip, one logged twice as a repeat. Only the switches into and out of the storm (where
the storm starts from the first title of the cycle) may jump.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLAYER_ID = "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}"
LOUDNESS = re.compile(r'^"(.*)", Headroom [0-9]+\.[0-9]{2} dB, RMS -?[0-9]+\.[0-9]{2} dBFS, -?[0-9]+\.[0-9]{2} dBFS Max Peak\.$')


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as r:
        return r.read().decode("utf-8")


def main():
    # A SIGTERM ends the run through the clean-up below (player and simulator stopped).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build-test"))
    ap.add_argument("--minutes", type=float, default=30.0)
    ap.add_argument("--out", default="")
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    total = args.minutes * 60.0
    drop_every = 120.0
    storm_from, storm_to = total * 2 / 3, total * 2 / 3 + 120.0  # 2 minutes of storm
    out = args.out or tempfile.mkdtemp(prefix="title-soak-")
    os.makedirs(out, exist_ok=True)

    sim = subprocess.Popen([os.path.join(args.build, "bin", "station-sim"), "--port", "0", "--no-tls",
                            "--title-seconds", "5"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = None
    for line in sim.stdout:
        if line.startswith("PORT "):
            port = int(line.split()[1])
        if line.startswith("URL "):
            break
    if not port:
        print("station-sim did not start")
        return 2

    # The player with its data folder beside it and a station pointing at the simulator.
    app = os.path.join(out, "app")
    data = os.path.join(app, "data")
    os.makedirs(data, exist_ok=True)
    shutil.copy(os.path.join(args.build, "bin", "corvale-player"), app)
    src = os.path.join(args.build, "bin", "data")
    for name in os.listdir(src):
        if name != "station.json" and not os.path.exists(os.path.join(data, name)):
            os.symlink(os.path.join(src, name), os.path.join(data, name))
    info = "http://127.0.0.1:%d/info.json?streams=mp3" % port
    with open(os.path.join(data, "station.json"), "w") as f:
        json.dump({"stationlist": [{"name": "Soak", "id": "soak", "refresh": 3600, "website": "http://127.0.0.1/",
                                    "info": [info]}]}, f)
    user = os.path.join(out, "config", PLAYER_ID)
    logs = os.path.join(out, "logs")
    run = os.path.join(out, "run")
    for d in (user, logs, run):
        os.makedirs(d, exist_ok=True)
    os.chmod(run, 0o700)
    with open(os.path.join(user, "settings.json"), "w") as f:
        json.dump({"program": {"id": PLAYER_ID, "version": "5.4"},
                   "player": {"versioncheck": 0, "trayicon": 0},
                   "debug": {"show": 1, "savepath": logs + "/"}}, f)
    env = {"QT_QPA_PLATFORM": "offscreen", "CORVALE_DIALOGS": "stderr", "CORVALE_AUDIO_OUTPUT": "null",
           "XDG_CONFIG_HOME": os.path.join(out, "config"), "XDG_RUNTIME_DIR": run, "HOME": out,
           "PATH": "/usr/bin:/bin", "ASAN_OPTIONS": "detect_leaks=0"}
    player = subprocess.Popen([os.path.join(app, "corvale-player")], env=env, stdout=open(os.path.join(out, "player.out"), "w"),
                              stderr=subprocess.STDOUT)

    cycle = {}  # schedule index -> stream title
    events = []
    start = time.time()
    next_drop = drop_every
    storm = False
    try:
        while time.time() - start < total:
            t = time.time() - start
            stats = json.loads(get(port, "/control/stats"))
            cycle[stats["title"]["index"] % 8] = stats["title"]["streamtitle"]
            if not storm and storm_from <= t < storm_to:
                get(port, "/control/fault?path=/stream/mp3&kind=storm")
                get(port, "/control/drop")
                events.append((t, "storm"))
                storm = True
            elif storm and t >= storm_to:
                get(port, "/control/clear")
                get(port, "/control/drop")
                events.append((t, "calm"))
                storm = False
            elif t >= next_drop:
                get(port, "/control/drop")
                events.append((t, "drop"))
                next_drop += drop_every
            if player.poll() is not None:
                print("the player ended early with status %s" % player.returncode)
                return 2
            time.sleep(1.0)
    finally:
        if player.poll() is None:
            player.send_signal(signal.SIGTERM)
            try:
                player.wait(30)
            except subprocess.TimeoutExpired:
                player.kill()
        sim.send_signal(signal.SIGTERM)
        sim.wait(30)

    lines = []
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name), encoding="utf-8", errors="replace", newline="") as f:
            for record in f.read().split("\r\n"):
                if len(record) >= 24:
                    lines.append(record[24:])
    # Loudness lines, each with whether the player reconnected just before it was logged
    # (then the title after it is the new connection's first: the titles on air while the
    # player was away were never announced to it).
    titles, reconnected, since = [], [], False
    for l in lines:
        if l.startswith("Connecting to "):
            since = True
        m = LOUDNESS.match(l)
        if m:
            titles.append(m.group(1))
            reconnected.append(since)
            since = False
    with open(os.path.join(out, "cycle.json"), "w") as f:
        json.dump(cycle, f)
    order = {text: i for i, text in cycle.items()}
    problems = []
    if len(cycle) != 8:
        problems.append("saw only %d of the 8 titles of the cycle" % len(cycle))
    jumps = 0
    for i, (a, b) in enumerate(zip(titles, titles[1:])):
        if a not in order or b not in order:
            problems.append("unknown title %r or %r" % (a, b))
        elif order[b] != (order[a] + 1) % 8 and reconnected[i]:
            pass  # the first title of a new connection
        elif order[b] != (order[a] + 1) % 8:
            jumps += 1
            if jumps > 2:  # into and out of the storm
                problems.append("%r followed by %r (%s)" % (a, b, "repeat" if a == b else "skip"))
    expected = int(total / 5)  # the schedule alone, without the storm's extra titles
    print("run: %.0f s, %d drops, storm %s; %d loudness lines (schedule alone: about %d), %d jumps" %
          (total, sum(1 for e in events if e[1] == "drop"), "on" if any(e[1] == "storm" for e in events) else "off",
           len(titles), expected, jumps))
    print("files: %s" % out)
    if len(titles) < expected * 0.9:
        problems.append("only %d loudness lines" % len(titles))
    for p in problems[:40]:
        print("PROBLEM:", p)
    print("PASS" if not problems else "FAIL")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
