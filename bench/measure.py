#!/usr/bin/env python3
"""Runs a command as a whole process and prints what it cost, one key=value a line.

    measure.py [options] -- COMMAND [ARG ...]

Always: wall (s), user, sys, cpu (user + sys, s) of the finished process
(wait4), its maxrss_kb and status. The peak resident size comes from GNU time
wrapped around the command: a process forked from this script would count the
interpreter's own pages until it executes the command. Options:

  --out FILE          the command's standard output goes there (default: discarded)
  --err FILE          its standard error goes there (default: discarded)
  --window START END  the command's standard output and error go through a
                      terminal, each line timed as it comes; prints window_wall
                      and window_cpu: the time between the first line holding
                      START and the next holding END, and the CPU the process
                      used in between (from /proc, in clock ticks)
  --idle TEXT SECONDS standard input, output and error on a terminal; once TEXT
                      has been printed, waits SECONDS, prints idle_wall and
                      idle_cpu for that span, answers "n" and lets it finish
  --stop              with --idle: ends the command (SIGTERM) after the span
                      instead of answering (a window waits for nobody)
The CPU of a span is that of the command's processes named as COMMAND (or
--comm NAME) among its descendants, so that a wrapper such as xvfb-run and
its X server are not counted.
  --timeout SECONDS   kill the command after this long (default 600)
"""
import os
import pty
import select
import signal
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def stat(pid):
    """(comm, ppid, user + system CPU in seconds) of a live process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
        comm = text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        return comm, int(fields[1]), (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError, ValueError):
        return None


def proc_cpu(root, comm):
    """CPU of the processes called comm among root and its descendants."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            st = stat(int(entry))
            if st:
                table[int(entry)] = st
    total, found, todo = 0.0, False, [root]
    while todo:
        pid = todo.pop()
        if pid in table and table[pid][0] == comm:
            total += table[pid][2]
            found = True
        todo.extend(p for p, st in table.items() if st[1] == pid)
    return total if found else None


def parse(argv):
    opts = {"out": os.devnull, "err": os.devnull, "window": None, "idle": None, "timeout": 600.0,
            "stop": False, "comm": None}
    i = 0
    while i < len(argv) and argv[i] != "--":
        a = argv[i]
        if a in ("--out", "--err"):
            opts[a[2:]] = argv[i + 1]
            i += 2
        elif a == "--window":
            opts["window"] = (argv[i + 1], argv[i + 2])
            i += 3
        elif a == "--idle":
            opts["idle"] = (argv[i + 1], float(argv[i + 2]))
            i += 3
        elif a == "--stop":
            opts["stop"] = True
            i += 1
        elif a == "--comm":
            opts["comm"] = argv[i + 1]
            i += 2
        elif a == "--timeout":
            opts["timeout"] = float(argv[i + 1])
            i += 2
        else:
            sys.exit(f"measure.py: unknown option {a}")
    if i + 1 >= len(argv):
        sys.exit("usage: measure.py [options] -- COMMAND [ARG ...]")
    cmd = argv[i + 1:]
    if opts["comm"] is None:
        opts["comm"] = os.path.basename(cmd[0])[:15]
    return opts, cmd


def spawn(cmd, stdin, stdout, stderr):
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            for fd, target in ((0, stdin), (1, stdout), (2, stderr)):
                if target is not None:
                    os.dup2(target, fd)
            os.execvp(cmd[0], cmd)
        finally:
            os._exit(127)
    return pid


def main():
    opts, cmd = parse(sys.argv[1:])
    rss_file = f"/tmp/measure-rss.{os.getpid()}"
    cmd = ["/usr/bin/time", "-q", "-f", "%M", "-o", rss_file] + cmd
    extra = {}
    deadline = time.monotonic() + opts["timeout"]
    start = time.monotonic()
    if opts["window"] or opts["idle"]:
        master, slave = pty.openpty()
        stdin = slave if opts["idle"] else os.open(os.devnull, os.O_RDONLY)
        pid = spawn(cmd, stdin, slave, slave)
        os.close(slave)
        seen = b""
        marks = {}
        idle_from = None
        comm = opts["comm"]
        with open(opts["out"], "wb") as out:
            while True:
                now = time.monotonic()
                if now > deadline:
                    os.kill(pid, signal.SIGKILL)
                    break
                wait = 0.5
                if idle_from is not None:
                    wait = max(0.0, min(wait, idle_from[0] + opts["idle"][1] - now))
                ready, _, _ = select.select([master], [], [], wait)
                if idle_from is not None and time.monotonic() >= idle_from[0] + opts["idle"][1]:
                    cpu = proc_cpu(pid, comm)
                    extra["idle_wall"] = time.monotonic() - idle_from[0]
                    extra["idle_cpu"] = cpu - idle_from[1] if None not in (cpu, idle_from[1]) else "unknown"
                    idle_from = None
                    if opts["stop"]:
                        os.killpg(pid, signal.SIGTERM)
                    else:
                        os.write(master, b"n\n")
                if not ready:
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                out.write(chunk)
                seen = (seen + chunk)[-4096:]
                stamp = time.monotonic()
                if opts["window"]:
                    first, last = opts["window"]
                    if "start" not in marks and first.encode() in seen:
                        marks["start"] = (stamp, proc_cpu(pid, comm))
                        seen = seen[seen.index(first.encode()) + len(first):]
                    if "start" in marks and "end" not in marks and last.encode() in seen:
                        marks["end"] = (stamp, proc_cpu(pid, comm))
                if opts["idle"] and idle_from is None and "idle_wall" not in extra:
                    if opts["idle"][0].encode() in seen:
                        idle_from = (stamp, proc_cpu(pid, comm))
        os.close(master)
    else:
        out = os.open(opts["out"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        err = os.open(opts["err"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        pid = spawn(cmd, os.open(os.devnull, os.O_RDONLY), out, err)
        os.close(out)
        os.close(err)
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if opts["window"]:
        if "start" in marks and "end" in marks and marks["start"][1] is not None:
            extra["window_wall"] = marks["end"][0] - marks["start"][0]
            end_cpu = marks["end"][1]
            if end_cpu is None:
                # Gone before it could be read: its CPU up to its exit, an upper bound.
                end_cpu = usage.ru_utime + usage.ru_stime
            extra["window_cpu"] = end_cpu - marks["start"][1]
        else:
            extra["window_wall"] = extra["window_cpu"] = "not seen"
    if opts["idle"] and "idle_wall" not in extra:
        extra["idle_wall"] = extra["idle_cpu"] = "not seen"
    print(f"wall={wall:.4f}")
    print(f"user={usage.ru_utime:.4f}")
    print(f"sys={usage.ru_stime:.4f}")
    print(f"cpu={usage.ru_utime + usage.ru_stime:.4f}")
    try:
        with open(rss_file) as f:
            maxrss = f.read().split()[-1]
        os.unlink(rss_file)
    except (OSError, IndexError):
        maxrss = "unknown"
    print(f"maxrss_kb={maxrss}")
    print(f"status={os.waitstatus_to_exitcode(status)}")
    for k, v in extra.items():
        print(f"{k}={v:.4f}" if isinstance(v, float) else f"{k}={v}")


if __name__ == "__main__":
    main()
