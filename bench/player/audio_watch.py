#!/usr/bin/env python3
"""Follows raw audio files as players write them and notes, in wall-clock time, when
audible samples arrive: the first one and every pause longer than 0.2 s.

Usage: audio_watch.py OUT NAME=PATH:FORMAT ...   (FORMAT f32 or s16, interleaved)
Runs until SIGTERM, then writes OUT: per name "first <t>" and "gap <start> <end>" lines.
"""
import array
import os
import signal
import sys
import time

out_path = sys.argv[1]
watched = []
for spec in sys.argv[2:]:
    name, rest = spec.split("=", 1)
    path, fmt = rest.rsplit(":", 1)
    watched.append({"name": name, "path": path, "fmt": fmt, "pos": 0, "rest": b"",
                    "first": None, "last": None, "gaps": []})

running = True


def stop(*_):
    global running
    running = False


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)


def audible(data, fmt):
    if fmt == "f32":
        a = array.array("f")
        a.frombytes(data)
        return any(abs(x) > 1e-3 for x in a[::7])
    a = array.array("h")
    a.frombytes(data)
    return any(abs(x) > 32 for x in a[::7])


while running:
    now = time.time()
    for w in watched:
        try:
            with open(w["path"], "rb") as f:
                f.seek(w["pos"])
                data = f.read(1 << 20)
        except OSError:
            continue
        if not data:
            continue
        w["pos"] += len(data)
        data = w["rest"] + data
        usable = len(data) - len(data) % 4
        w["rest"] = data[usable:]
        if usable and audible(data[:usable], w["fmt"]):
            if w["first"] is None:
                w["first"] = now
            elif now - w["last"] > 0.2:
                w["gaps"].append((w["last"], now))
            w["last"] = now
    time.sleep(0.005)

with open(out_path, "w") as out:
    for w in watched:
        if w["first"] is not None:
            out.write("%s first %.3f\n" % (w["name"], w["first"]))
            out.write("%s last %.3f\n" % (w["name"], w["last"]))
        for a, b in w["gaps"]:
            out.write("%s gap %.3f %.3f\n" % (w["name"], a, b))
