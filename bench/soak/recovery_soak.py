#!/usr/bin/env python3
"""Long run of the built player through sleeps and network outages: a private dbus-daemon
is its system bus, the test stand-in (system-bus-stand-in) plays logind and NetworkManager
on it, and the station simulator serves two streams. Over the run the stand-in puts the
system to sleep (PrepareForSleep true, 5 s, false) and takes the network away
(StateChanged 20, every stream connection reset and refused for 20 s, StateChanged 70),
spread evenly: two sleeps, then an outage, and so on.

    python3 bench/soak/recovery_soak.py [--build build-test] [--minutes 30] [--sleeps 10]
                                        [--outages 5] [--out DIR]

Checked at every event: the stream stops within 1 s of the sleep signal and the delay lock
is given up; playback comes back (the simulator has its listener again, the capture grows)
on the same stream as before; in between, the capture keeps growing at about real time.
Checked over the whole debug log: every "Connecting to" names the first stream, no
failure was counted ("Unable to connect" without "Not counted" after it) and no round
wait began. Exit status 0 when everything held, 1 when something did not (the reasons are
printed), 2 when the run itself failed. The debug log is kept in DIR/logs.
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
FRAME_BYTES = 8  # stereo float


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=10) as r:
        return r.read().decode("utf-8")


def listeners(port):
    return json.loads(get(port, "/control/stats"))["listeners"]


def within(seconds, condition, step=0.02):
    end = time.time() + seconds
    while True:
        if condition():
            return True
        if time.time() >= end:
            return False
        time.sleep(step)


class StandIn:
    def __init__(self, binary, address, out):
        self.out = open(out, "w+")
        self.path = out
        self.proc = subprocess.Popen([binary, address], stdin=subprocess.PIPE, stdout=self.out,
                                     stderr=subprocess.DEVNULL, text=True)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def lines(self):
        with open(self.path) as f:
            return f.read().splitlines()

    def has(self, line):
        return line in self.lines()


def log_lines(logs):
    lines = []
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name), encoding="utf-8", errors="replace", newline="") as f:
            for record in f.read().split("\r\n"):
                if len(record) >= 24:
                    lines.append(record[15:])  # keeps the "hh:mm:ss " of the line
    return lines


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(2))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build-test"))
    ap.add_argument("--minutes", type=float, default=30.0)
    ap.add_argument("--sleeps", type=int, default=10)
    ap.add_argument("--outages", type=int, default=5)
    ap.add_argument("--out", default="")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    out = args.out or tempfile.mkdtemp(prefix="recovery-soak-")
    os.makedirs(out, exist_ok=True)
    procs = []
    problems = []

    def problem(text):
        print("PROBLEM: " + text, flush=True)
        problems.append(text)

    try:
        socket = os.path.join(out, "system_bus")
        with open(os.path.join(out, "bus.conf"), "w") as f:
            f.write('<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"\n'
                    ' "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">\n'
                    '<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>'
                    '<policy context="default"><allow user="*"/><allow own="*"/>'
                    '<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>\n' % socket)
        bus = subprocess.Popen(["dbus-daemon", "--config-file=" + os.path.join(out, "bus.conf"), "--nofork",
                                "--nopidfile"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(bus)
        if not within(5, lambda: os.path.exists(socket)):
            print("dbus-daemon did not start")
            return 2
        address = "unix:path=" + socket
        stand_in = StandIn(os.path.join(build, "bin", "system-bus-stand-in"), address, os.path.join(out, "stand-in.txt"))
        procs.append(stand_in.proc)
        if not within(10, lambda: stand_in.has("ready")):
            print("the stand-in did not start")
            return 2

        sim = subprocess.Popen([os.path.join(build, "bin", "station-sim"), "--port", "0", "--no-tls",
                                "--title-seconds", "10"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        procs.append(sim)
        port = None
        for line in sim.stdout:
            if line.startswith("PORT "):
                port = int(line.split()[1])
            if line.startswith("URL "):
                break
        if not port:
            print("station-sim did not start")
            return 2

        app = os.path.join(out, "app")
        data = os.path.join(app, "data")
        os.makedirs(data, exist_ok=True)
        shutil.copy(os.path.join(build, "bin", "corvale-player"), app)
        src = os.path.join(build, "bin", "data")
        for name in os.listdir(src):
            if name != "station.json" and not os.path.exists(os.path.join(data, name)):
                os.symlink(os.path.join(src, name), os.path.join(data, name))
        info = "http://127.0.0.1:%d/info.json?streams=mp3,aac" % port
        with open(os.path.join(data, "station.json"), "w") as f:
            json.dump({"stationlist": [{"name": "Soak", "id": "soak", "refresh": 3600,
                                        "website": "http://127.0.0.1/", "info": [info]}]}, f)
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
        capture = os.path.join(out, "out.raw")
        env = {"QT_QPA_PLATFORM": "offscreen", "CORVALE_DIALOGS": "stderr", "CORVALE_AUDIO_OUTPUT": "file:" + capture,
               "DBUS_SYSTEM_BUS_ADDRESS": address, "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(out, "none"),
               "XDG_CONFIG_HOME": os.path.join(out, "config"), "XDG_RUNTIME_DIR": run, "HOME": out,
               "PATH": "/usr/bin:/bin", "ASAN_OPTIONS": "detect_leaks=0"}
        player = subprocess.Popen([os.path.join(app, "corvale-player")], env=env,
                                  stdout=open(os.path.join(out, "player.out"), "w"), stderr=subprocess.STDOUT)
        procs.append(player)

        def count(prefix):
            return sum(1 for l in log_lines(logs) if l[9:].startswith(prefix))

        def captured():
            try:
                return os.path.getsize(capture) // FRAME_BYTES
            except OSError:
                return 0

        if not within(30, lambda: count("Playing.") >= 1 and listeners(port) == 1):
            print("the player never played")
            return 2
        first = [l for l in log_lines(logs) if l[9:].startswith("Connecting to ")][0][9:]
        print("playing: " + first, flush=True)

        # Two sleeps, then an outage, ... spread over the run.
        order = []
        s, o = args.sleeps, args.outages
        while s or o:
            if s:
                order.append("sleep")
                s -= 1
            if s and (not o or s > o):
                order.append("sleep")
                s -= 1
            if o:
                order.append("outage")
                o -= 1
        slot = args.minutes * 60.0 / (len(order) + 1)
        start = time.time()
        results = []
        for n, kind in enumerate(order, 1):
            # The quiet stretch before the event: playback must go on at real time.
            due = start + n * slot
            frames0, t0 = captured(), time.time()
            while time.time() < due:
                if player.poll() is not None:
                    print("the player ended early with status %s" % player.returncode)
                    return 2
                time.sleep(1.0)
            played = (captured() - frames0) / 48000.0
            if played < 0.9 * (time.time() - t0) - 2.0:
                problem("%s %d: only %.1f s of audio in the %.1f s before it" % (kind, n, played, time.time() - t0))
            playing_before = count("Playing.")
            if kind == "sleep":
                released = sum(1 for l in stand_in.lines() if l.startswith("released"))
                stand_in.send("sleep")
                t = time.time()
                stopped = within(1.0, lambda: listeners(port) == 0)
                stop_s = time.time() - t
                if not stopped:
                    problem("sleep %d: still connected 1 s after the sleep signal" % n)
                if not within(3.0, lambda: sum(1 for l in stand_in.lines() if l.startswith("released")) > released):
                    problem("sleep %d: the delay lock was not given up" % n)
                time.sleep(5.0)
                if listeners(port) != 0:
                    problem("sleep %d: connected while asleep" % n)
                stand_in.send("wake")
            else:
                stand_in.send("net 20")
                within(5.0, lambda: count("The network is down.") >= 1)
                get(port, "/control/fault?path=/stream/mp3&kind=reset")
                get(port, "/control/fault?path=/stream/aac&kind=reset")
                get(port, "/control/drop")
                stop_s = 0.0
                time.sleep(20.0)
                get(port, "/control/clear")
                stand_in.send("net 70")
            t = time.time()
            back = within(10.0, lambda: listeners(port) == 1)
            back_s = time.time() - t
            if not back or back_s > 1.0:
                problem("%s %d: reconnected after %.2f s" % (kind, n, back_s) if back else "%s %d: never reconnected" % (kind, n))
            if not within(15.0, lambda: count("Playing.") > playing_before):
                problem("%s %d: no \"Playing.\" after it" % (kind, n))
            f1 = captured()
            if not within(15.0, lambda: captured() > f1 + 48000):
                problem("%s %d: the capture did not grow after it" % (kind, n))
            last = [l for l in log_lines(logs) if l[9:].startswith("Connecting to ")][-1][9:]
            if last != first:
                problem("%s %d: came back on %s" % (kind, n, last))
            results.append((kind, n, stop_s, back_s))
            print("%-6s %2d at %6.0f s: stopped in %.2f s, back in %.2f s, %s" %
                  (kind, n, time.time() - start, stop_s, back_s, last), flush=True)
        # The last quiet stretch.
        frames0, t0 = captured(), time.time()
        time.sleep(slot)
        played = (captured() - frames0) / 48000.0
        if played < 0.9 * (time.time() - t0) - 2.0:
            problem("only %.1f s of audio in the last %.1f s" % (played, time.time() - t0))

        lines = log_lines(logs)
        connects = [l[9:] for l in lines if l[9:].startswith("Connecting to ")]
        others = [c for c in connects if c != first]
        if others:
            problem("%d connects to other streams: %s" % (len(others), others[:3]))
        counted = 0
        for i, l in enumerate(lines):
            if l[9:].startswith("Unable to connect"):
                if i + 1 >= len(lines) or not lines[i + 1][9:].startswith("Not counted"):
                    counted += 1
        if counted:
            problem("%d failures counted against a stream" % counted)
        rounds = [l for l in lines if re.match(r"^Waiting [0-9]+ s before the next round\.$", l[9:])]
        if rounds:
            problem("%d round waits began" % len(rounds))
        print("events: %d sleeps, %d outages; connects: %d, all to %s; uncounted failures: %d; counted: %d; "
              "round waits: %d; back within: %.2f s at most" %
              (sum(1 for r in results if r[0] == "sleep"), sum(1 for r in results if r[0] == "outage"), len(connects),
               first, sum(1 for l in lines if l[9:].startswith("Not counted")), counted, len(rounds),
               max([r[3] for r in results] or [0])))
        print("log: " + logs)
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
