#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Soak: the demo (scripts/demo.sh) under steady churn for a given time, in
private mount, network and PID namespaces of its own.

Churn, each kind in its own worker, all at once:
  snmp     walks of the energy-object subtree; writes of eoPowerAdminState
           that must reach the relay, turn the operational state and come
           back as a power-state notification at snmptrapd
  http     the status page, switching, a 1 MB response read whole, aborted
           requests (a huge response dropped after a few bytes, a request
           that is never answered, a slow one), and a tunnel echoing lines
  serial   lines sent through the bridge that must reach the device and
           come back as its answer; the device's own readings must arrive
  restarts of the relay and meter (the simulator) with the subagent that
           publishes them, every --relay-every seconds, and one restart of
           the bus daemon half way (--no-bus-restart leaves it out)

Once a second it samples the open descriptors and the resident memory of
every process of the box. It fails on any error of the churn, on a process
that ends unasked, and on growth: for each process that lived long enough,
the lowest value of its last --window seconds against the lowest of the
--window seconds after its first --warmup seconds.

Not part of the test suite. Needs root; build first (scripts/run-demo.sh
or cmake --build build).
"""
import argparse
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WATCHED = ("ubusd", "powersim", "snmptrapd", "snmpd", "eoagent", "uhttpd", "serialpeer",
           "uartlink")
PRIVATE_SETUP = ("mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && "
                 "mkdir -p /var/run/ubus && mount -t tmpfs tmpfs /var/run/ubus && "
                 "ip link set lo up && exec \"$0\" \"$@\"")
SNMP_PORT, HTTP_PORT = 1161, 8080
PREFIX, WEB, SERIAL = "/power", "powerswitch.web", "serial"
BUS_SOCKET = "/var/run/ubus/ubus.sock"
POWER = "1.3.6.1.2.1.229.1.2.1."


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--duration", type=float, default=600, help="seconds of churn (600)")
    p.add_argument("--build", default=os.path.join(TOP, "build"), help="build folder (./build)")
    p.add_argument("--out", help="folder for samples, report and logs (<build>/soak)")
    p.add_argument("--outlets", type=int, default=8, help="outlets, at least 2 (8)")
    p.add_argument("--relay-every", type=float, default=150,
                   help="seconds between restarts of the relay and meter (150; 0: none)")
    p.add_argument("--no-bus-restart", action="store_true", help="leave out the bus restart")
    p.add_argument("--warmup", type=float, default=30, help="seconds before a baseline (30)")
    p.add_argument("--window", type=float, default=30, help="seconds per compared window (30)")
    p.add_argument("--rss-growth-kb", type=int, default=1024,
                   help="resident memory growth that fails (1024 KiB)")
    p.add_argument("--fd-growth", type=int, default=0, help="descriptor growth allowed (0)")
    p.add_argument("--not-judged", action="append", default=None, metavar="NAME",
                   help="sample NAME but do not fail on its growth; repeatable (snmptrapd: the "
                        "manager's receiver, not part of the box, whose notification log of "
                        "up to 1000 entries grows for the whole run)")
    return p.parse_args()


def enter_namespaces():
    if os.environ.get("SOAK_IN_PRIVATE"):
        return
    if os.geteuid() != 0:
        sys.exit("soak: run as root (private namespaces, fixed socket paths)")
    os.environ["SOAK_IN_PRIVATE"] = "1"
    os.execvp("unshare", ["unshare", "-m", "-n", "-p", "-f", "--mount-proc", "/bin/bash", "-c",
                          PRIVATE_SETUP, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])


class Soak:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.bin = os.path.join(self.build, "bin")
        self.out = os.path.abspath(args.out or os.path.join(self.build, "soak"))
        os.makedirs(self.out, exist_ok=True)
        self.lock = threading.Lock()
        self.errors = []
        self.counts = {}
        self.stop = threading.Event()
        # workers hold a "use" while they talk to the box; restarts wait for
        # none to be held and block new ones
        self.gate = threading.Condition()
        self.users = 0
        self.closed = False
        self.instances = {}    # pid -> dict(name, start, samples, ended)
        self.recipes = {}      # name -> (argv, env, cwd) to start it again
        self.expected = set()  # pids stopped on purpose
        self.allowed = {}      # name -> why an exit of it is tolerated now
        self.spawned = []      # Popen objects we started
        self.t0 = time.monotonic()
        self.run = None
        self.demo = None

    # ------------------------------------------------------------ record
    def now(self):
        return time.monotonic() - self.t0

    def error(self, what):
        with self.lock:
            self.errors.append("%7.1f s  %s" % (self.now(), what))
        print("soak: ERROR %s" % what, flush=True)

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def note(self, text):
        print("soak: %7.1f s  %s" % (self.now(), text), flush=True)

    # -------------------------------------------------------------- gate
    def use(self):
        gate = self

        class Use:
            def __enter__(self):
                with gate.gate:
                    while gate.closed and not gate.stop.is_set():
                        gate.gate.wait(0.5)
                    gate.users += 1

            def __exit__(self, *exc):
                with gate.gate:
                    gate.users -= 1
                    gate.gate.notify_all()
        return Use()

    def close_gate(self):
        with self.gate:
            self.closed = True
            while self.users:
                self.gate.wait(0.5)

    def open_gate(self):
        with self.gate:
            self.closed = False
            self.gate.notify_all()

    # ----------------------------------------------------------- helpers
    def tool(self, argv, timeout=10):
        try:
            r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                               env=dict(os.environ, MIBS="", SNMPCONFPATH=self.run))
            return r.returncode, r.stdout + r.stderr
        except subprocess.TimeoutExpired:
            return -1, "timed out after %s s" % timeout

    def ubus(self, *args, timeout=10):
        return self.tool([os.path.join(self.bin, "ubus"), "-s", BUS_SOCKET, "-t", "5"] +
                         list(args), timeout)

    def snmp(self, tool, *args):
        return self.tool([tool, "-v2c", "-On", "-Oq", "-t", "3", "-r", "1", "-Lo"] + list(args))

    def snmp_get(self, oid):
        rc, out = self.snmp("snmpget", "-Ov", "-c", "public", "127.0.0.1:%d" % SNMP_PORT, oid)
        return out.strip() if rc == 0 else None

    def read(self, name):
        try:
            with open(os.path.join(self.run, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_until(self, check, seconds, step=0.1):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if check():
                return True
            time.sleep(step)
        return check()

    # ------------------------------------------------------------- start
    def start_demo(self):
        log = open(os.path.join(self.out, "demo.out"), "w")
        self.demo = subprocess.Popen(
            [os.path.join(TOP, "scripts", "demo.sh"), "--build", self.build, "--hold",
             "--outlets", str(self.args.outlets)], stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)
        for line in self.demo.stdout:
            log.write(line)
            m = re.match(r"Logs are in (.*)\.$", line.strip())
            if m:
                self.run = m.group(1)
                break
        if not self.run:
            sys.exit("soak: the demo did not come up; see %s/demo.out" % self.out)
        threading.Thread(target=self.copy_demo_output, args=(log,), daemon=True).start()
        if not self.wait_until(lambda: os.path.exists(os.path.join(self.run, "processes")), 10):
            sys.exit("soak: the demo wrote no process list")
        self.note("demo up, logs in %s" % self.run)

    def copy_demo_output(self, log):
        for line in self.demo.stdout:
            log.write(line)
            log.flush()

    def up(self):
        """True when SNMP, HTTP and the serial bridge all answer."""
        if self.snmp_get(POWER + "9.1") not in ("257", "259"):
            return False
        try:
            status, body = self.http_get(PREFIX + "/outlets")
        except OSError:
            return False
        if status != 200:
            return False
        rc, _ = self.ubus("call", SERIAL, "get_heartbeat")
        return rc == 0

    # ---------------------------------------------------------- sampling
    def scan(self):
        seen = set()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            try:
                with open("/proc/%d/stat" % pid) as f:
                    stat = f.read()
                comm = stat[stat.index("(") + 1:stat.rindex(")")]
                state = stat[stat.rindex(")") + 2]
                if comm not in WATCHED or state == "Z":
                    continue
                fds = len(os.listdir("/proc/%d/fd" % pid))
                rss = 0
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmRSS:"):
                            rss = int(line.split()[1])
            except (OSError, ValueError):
                continue
            seen.add(pid)
            inst = self.instances.get(pid)
            if inst is None:
                inst = self.instances[pid] = {"name": comm, "start": self.now(), "samples": [],
                                              "ended": None}
                self.remember(comm, pid)
            inst["samples"].append((self.now(), fds, rss))
            self.samples.write("%.1f,%s,%d,%d,%d\n" % (self.now(), comm, pid, fds, rss))
        for pid, inst in self.instances.items():
            if inst["ended"] is None and pid not in seen:
                inst["ended"] = self.now()
                self.ended(pid, inst)
        self.samples.flush()

    def remember(self, name, pid):
        """Keeps how to start `name` again, from the first one seen."""
        if name in self.recipes or name == "uartlink":
            return
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = [a.decode() for a in f.read().split(b"\0")[:-1]]
            with open("/proc/%d/environ" % pid, "rb") as f:
                env = dict(kv.decode().split("=", 1) for kv in f.read().split(b"\0") if b"=" in kv)
            cwd = os.readlink("/proc/%d/cwd" % pid)
        except OSError:
            return
        self.recipes[name] = (argv, env, cwd)

    def exit_status(self, pid):
        for p in self.spawned:
            if p.pid == pid:
                return p.poll()
        for line in self.read("exits").splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0] == str(pid):
                return int(fields[1])
        return None

    def ended(self, pid, inst):
        name = inst["name"]
        if pid in self.expected:
            return
        time.sleep(0.2)  # let the reaper record the status
        status = self.exit_status(pid)
        why = self.allowed.get(name)
        if why and status not in (0, None):
            self.note("%s (%d) ended with status %s %s; starting it again" % (name, pid, status, why))
            self.count("tolerated exits")
        else:
            self.error("%s (%d) ended unasked, status %s" % (name, pid, status))
        if name == "uartlink":
            return  # its peer ends with it and is started again
        self.respawn(name)

    def respawn(self, name):
        recipe = self.recipes.get(name)
        if not recipe:
            self.error("cannot start %s again" % name)
            return
        argv, env, cwd = recipe
        n = sum(1 for i in self.instances.values() if i["name"] == name)
        log = open(os.path.join(self.run, "%s.%d.log" % (name, n)), "w")
        self.spawned.append(subprocess.Popen(argv, env=env, cwd=cwd, stdout=log,
                                             stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL))
        self.count("starts of " + name)

    def pids_of(self, name):
        return [pid for pid, i in self.instances.items() if i["name"] == name and i["ended"] is None]

    def stop_process(self, name):
        for pid in self.pids_of(name):
            self.expected.add(pid)
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            if not self.wait_until(lambda: not self.alive(pid), 5):
                os.kill(pid, signal.SIGKILL)
                self.wait_until(lambda: not self.alive(pid), 5)

    def alive(self, pid):
        for p in self.spawned:
            if p.pid == pid:
                p.poll()
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    # ---------------------------------------------------------- restarts
    def restart_relay(self):
        self.close_gate()
        self.note("restarting the relay and meter, and the subagent that publishes them")
        self.stop_process("eoagent")
        self.stop_process("powersim")
        self.respawn("powersim")
        if not self.wait_until(lambda: self.ubus("call", WEB, "last")[0] == 0, 10):
            self.error("the relay and meter did not come back")
        self.respawn("eoagent")
        self.after_restart("relay restart")

    def restart_bus(self):
        self.close_gate()
        self.note("restarting the bus daemon")
        # bus clients may choose to end on losing the bus and be started
        # again, as an init system would; they say so with a non-zero status
        for name in ("eoagent", "uartlink", "serialpeer"):
            self.allowed[name] = "after the bus restart"
        self.stop_process("ubusd")
        self.stop_process("powersim")  # the device's daemons come back with the bus
        self.respawn("ubusd")
        if not self.wait_until(lambda: os.path.exists(BUS_SOCKET), 10):
            self.error("the bus daemon did not come back")
        self.respawn("powersim")
        self.listener_restart()
        self.after_restart("bus restart")
        self.allowed.clear()

    def after_restart(self, what):
        end = time.monotonic() + 20
        while time.monotonic() < end and not self.up():
            self.scan_quietly()
            time.sleep(0.5)
        if self.up():
            self.note("everything answers again after the %s" % what)
            self.count(what + "s")
        else:
            self.error("the box did not answer within 20 s after the %s" % what)
        self.open_gate()

    def scan_quietly(self):
        with self.scan_lock:
            self.scan()

    # ------------------------------------------------------------ workers
    def worker(self, body):
        def loop():
            n = 0
            while not self.stop.is_set():
                with self.use():
                    if self.stop.is_set():
                        break
                    try:
                        body(n)
                    except Exception as e:  # a broken worker is an error, not a crash
                        self.error("%s: %r" % (body.__name__, e))
                n += 1
                time.sleep(0.2)
        t = threading.Thread(target=loop, name=body.__name__, daemon=True)
        t.start()
        return t

    def snmp_churn(self, n):
        rc, out = self.snmp("snmpwalk", "-c", "public", "127.0.0.1:%d" % SNMP_PORT,
                            "1.3.6.1.2.1.229")
        rows = len(re.findall(r"^\.1\.3\.6\.1\.2\.1\.229\.1\.2\.1\.8\.", out, re.M))
        if rc != 0 or rows < self.args.outlets:
            self.error("snmpwalk: status %d, %d admin rows: %s" % (rc, rows, out[-300:]))
            return
        self.count("snmp walks")
        # the last outlet is the HTTP worker's
        outlet = n % (self.args.outlets - 1) + 1
        state = self.snmp_get(POWER + "9.%d" % outlet)
        if state not in ("257", "259"):
            self.error("snmpget of outlet %d: %r" % (outlet, state))
            return
        want = "257" if state == "259" else "259"
        traps_before = self.read("traps.log").count("229.1.2.1.9.%d = INTEGER: %s" % (outlet, want))
        rc, out = self.snmp("snmpset", "-c", "private", "127.0.0.1:%d" % SNMP_PORT,
                            POWER + "8.%d" % outlet, "i", want)
        if rc != 0:
            self.error("snmpset of outlet %d: %s" % (outlet, out.strip()))
            return
        self.count("snmp sets")
        if not self.wait_until(lambda: self.snmp_get(POWER + "9.%d" % outlet) == want, 5, 0.2):
            self.error("outlet %d did not turn %s after the set" % (outlet, want))
            return
        if not self.wait_until(lambda: self.read("traps.log").count(
                "229.1.2.1.9.%d = INTEGER: %s" % (outlet, want)) > traps_before, 5, 0.2):
            self.error("no notification of outlet %d turning %s" % (outlet, want))
            return
        self.count("notifications")

    def http_get(self, path, timeout=10):
        c = http.client.HTTPConnection("127.0.0.1", HTTP_PORT, timeout=timeout)
        try:
            c.request("GET", path)
            r = c.getresponse()
            return r.status, r.read()
        finally:
            c.close()

    def abort_after(self, request, read_bytes, wait):
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=5)
        try:
            s.sendall(request)
            if read_bytes:
                got = b""
                while len(got) < read_bytes:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    got += chunk
                if not got.startswith(b"HTTP/1.1 200"):
                    self.error("aborted request answered %r" % got[:60])
                    return
            else:
                time.sleep(wait)
            # a reset, not a polite close: the client just vanishes
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        finally:
            s.close()
        self.count("aborted http requests")

    def tunnel(self, n):
        """The first line goes in chunked framing before the switch, the
        rest raw after it; the client ends the tunnel by leaving."""
        s = socket.create_connection(("127.0.0.1", HTTP_PORT), timeout=5)
        got = b""
        try:
            first = b"first line of tunnel %d\n" % n
            s.sendall(b"POST %s/tunnel HTTP/1.1\r\nHost: box\r\nTransfer-Encoding: chunked\r\n\r\n"
                      b"%x\r\n%s\r\n" % (PREFIX.encode(), len(first), first))
            for i in range(3):
                line = first if i == 0 else b"line %d of tunnel %d\n" % (i, n)
                if i:
                    s.sendall(line)
                while line not in got:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    got += chunk
                if line not in got:
                    self.error("tunnel %d: no echo of line %d: %r" % (n, i, got[-200:]))
                    return
            if not got.startswith(b"HTTP/1.1 101"):
                self.error("tunnel %d opened with %r" % (n, got[:40]))
                return
        except socket.timeout:
            self.error("tunnel %d: timed out: %r" % (n, got[-200:]))
            return
        finally:
            s.close()
        self.count("tunnels")

    def http_churn(self, n):
        step = n % 6
        if step == 0:
            status, body = self.http_get(PREFIX + "/outlets")
            if status != 200 or b"<tr><td>1</td>" not in body:
                self.error("status page: %d %r" % (status, body[:100]))
                return
        elif step == 1:
            outlet = self.args.outlets
            status, body = self.http_get(PREFIX + "/switch?outlet=%d&state=%s" %
                                         (outlet, "on" if n % 4 < 2 else "off"))
            if status != 200:
                self.error("switch over HTTP: %d %r" % (status, body[:100]))
                return
        elif step == 2:
            size = 1000000
            status, body = self.http_get(PREFIX + "/stream?size=%d" % size)
            if status != 200 or len(body) != size or body[:251] != bytes(range(251)):
                self.error("1 MB stream: %d, %d bytes" % (status, len(body)))
                return
        elif step == 3:
            # a huge response dropped after the first bytes
            self.abort_after(b"GET %s/stream?size=1000000000 HTTP/1.1\r\nHost: box\r\n\r\n" %
                             PREFIX.encode(), 20000, 0)
            return
        elif step == 4:
            # never answered, or answered late: the client leaves first
            path = b"/hold" if n % 12 == 4 else b"/slow?ms=300"
            self.abort_after(b"GET %s%s HTTP/1.1\r\nHost: box\r\n\r\n" % (PREFIX.encode(), path),
                             0, 0.1)
            return
        else:
            self.tunnel(n)
            return
        self.count("http requests")

    def listener_restart(self):
        if getattr(self, "listener", None):
            self.listener.terminate()
            self.listener.wait()
        self.events_file = open(os.path.join(self.out, "serial-events.log"), "a")
        self.listener = subprocess.Popen(
            [os.path.join(self.bin, "ubus"), "-s", BUS_SOCKET, "listen", "orv.serial.recv"],
            stdout=self.events_file, stderr=subprocess.STDOUT)
        time.sleep(0.5)

    def events(self):
        try:
            with open(os.path.join(self.out, "serial-events.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def serial_churn(self, n):
        line = "soak line %d" % n
        rc, out = self.ubus("call", SERIAL, "send", json.dumps({"line": line}))
        if rc != 0:
            self.error("serial send: status %d %s" % (rc, out.strip()))
            return
        if not self.wait_until(lambda: 'received "%s"' % line in self.read("serial.log"), 5):
            self.error("the device did not receive %r" % line)
            return
        if not self.wait_until(lambda: "ack " + line in self.events(), 5):
            self.error("no answer to %r came back" % line)
            return
        self.count("serial lines")
        time.sleep(1)

    # --------------------------------------------------------------- run
    def main(self):
        a = self.args
        self.samples = open(os.path.join(self.out, "samples.csv"), "w")
        self.samples.write("seconds,name,pid,descriptors,rss_kib\n")
        self.scan_lock = threading.Lock()
        self.start_demo()
        self.listener_restart()
        self.scan_quietly()
        if not self.wait_until(self.up, 20, 0.5):
            self.error("the box does not answer at the start")
        # snmpd keeps the notifications it sent in its notification log
        # (NOTIFICATION-LOG-MIB), up to 1000 of some 16 KiB each: memory that
        # grows for the first 1000 and then stays. A short log keeps that
        # bounded growth from reading as a leak.
        rc, out = self.snmp("snmpset", "-c", "private", "127.0.0.1:%d" % SNMP_PORT,
                            "1.3.6.1.2.1.92.1.1.1.0", "u", "10")
        if rc != 0:
            self.error("could not shorten snmpd's notification log: %s" % out.strip())
        workers = [self.worker(w) for w in (self.snmp_churn, self.http_churn, self.serial_churn)]
        start = time.monotonic()
        next_relay = a.relay_every if a.relay_every > 0 else None
        bus_at = None if a.no_bus_restart else a.duration / 2
        next_report = 60
        readings_seen = 0
        while time.monotonic() - start < a.duration:
            time.sleep(1)
            self.scan_quietly()
            elapsed = time.monotonic() - start
            if bus_at is not None and elapsed >= bus_at:
                bus_at = None
                self.restart_bus()
            elif next_relay is not None and elapsed >= next_relay:
                next_relay += a.relay_every
                if a.duration - elapsed > a.window:  # not when nothing could judge it
                    self.restart_relay()
            if elapsed >= next_report:
                next_report += 60
                readings = self.events().count('"temperature ')
                if readings <= readings_seen:
                    self.error("no reading from the device in the last minute")
                readings_seen = readings
                with self.lock:
                    self.note("%s" % ", ".join("%s %d" % kv for kv in sorted(self.counts.items())))
        self.stop.set()
        self.open_gate()
        for t in workers:
            t.join(30)
        self.finish()

    def finish(self):
        # every aborted response must have stopped being produced
        if not self.wait_until(lambda: self.pumps() == 0, 10, 0.5):
            self.error("responses still being written after the churn: %s" % self.pumps())
        self.scan_quietly()
        self.expected.update(p for p, i in self.instances.items() if i["ended"] is None)
        self.listener.terminate()
        self.demo.send_signal(signal.SIGTERM)
        try:
            self.demo.wait(60)
        except subprocess.TimeoutExpired:
            self.demo.kill()
        for p in self.spawned:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        self.report()

    def pumps(self):
        rc, out = self.ubus("call", WEB, "last")
        try:
            return json.loads(out)["pumps"] if rc == 0 else None
        except (ValueError, KeyError):
            return None

    def report(self):
        a = self.args
        lines = ["soak of %.0f s%s" % (a.duration, "" if not a.no_bus_restart else
                                       ", without the bus restart"), ""]
        lines.append("%-11s %7s %7s  %13s  %21s  %s" % ("process", "pid", "lived", "descriptors",
                                                       "resident KiB", "verdict"))
        growth = False
        for pid, inst in sorted(self.instances.items(), key=lambda kv: (kv[1]["name"], kv[1]["start"])):
            samples = inst["samples"]
            if not samples:
                continue
            born = samples[0][0]
            lived = samples[-1][0] - born
            first = [s for s in samples if a.warmup <= s[0] - born < a.warmup + a.window]
            last = [s for s in samples if s[0] > samples[-1][0] - a.window]
            if lived < a.warmup + 2 * a.window or not first or not last:
                verdict = "too short to judge"
                fd_text = "%d" % samples[-1][1]
                rss_text = "%d" % samples[-1][2]
            else:
                fd0, fd1 = min(s[1] for s in first), min(s[1] for s in last)
                rss0, rss1 = min(s[2] for s in first), min(s[2] for s in last)
                fd_text = "%d -> %d" % (fd0, fd1)
                rss_text = "%d -> %d (%+d)" % (rss0, rss1, rss1 - rss0)
                bad = []
                if fd1 - fd0 > a.fd_growth:
                    bad.append("descriptors grew")
                if rss1 - rss0 > a.rss_growth_kb:
                    bad.append("memory grew")
                verdict = ", ".join(bad) if bad else "steady"
                if bad and inst["name"] in a.not_judged:
                    verdict += " (not judged)"
                else:
                    growth = growth or bool(bad)
            lines.append("%-11s %7d %6.0fs  %13s  %21s  %s" % (inst["name"], pid, lived, fd_text,
                                                              rss_text, verdict))
        lines.append("")
        lines.append("churn: " + ", ".join("%s %d" % kv for kv in sorted(self.counts.items())))
        reports = []
        for d in (self.run, self.out):
            for name in sorted(os.listdir(d)) if d and os.path.isdir(d) else []:
                path = os.path.join(d, name)
                if name.endswith(".log") and os.path.isfile(path):
                    with open(path, errors="replace") as f:
                        if re.search(r"ERROR: (Address|Leak)Sanitizer|runtime error:", f.read()):
                            reports.append(name)
        if reports:
            self.error("sanitizer reports in " + " ".join(reports))
        lines.append("errors: %d" % len(self.errors))
        lines += ["  " + e for e in self.errors[:50]]
        ok = not self.errors and not growth
        lines.append("soak: " + ("PASSED" if ok else "FAILED"))
        text = "\n".join(lines) + "\n"
        with open(os.path.join(self.out, "report.txt"), "w") as f:
            f.write(text)
        # the run folder is on the private /tmp: keep its logs
        if self.run and os.path.isdir(self.run):
            subprocess.run(["cp", "-r", self.run, os.path.join(self.out, "logs")])
        print("\n" + text, end="", flush=True)
        sys.exit(0 if ok else 1)


if __name__ == "__main__":
    args = parse_args()
    if args.not_judged is None:
        args.not_judged = ["snmptrapd"]
    if args.outlets < 2:
        sys.exit("soak: --outlets must be at least 2")
    enter_namespaces()
    Soak(args).main()
