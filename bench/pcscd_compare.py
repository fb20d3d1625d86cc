#!/usr/bin/python3
"""Side by side through pcscd: one client, one card engine, two paths.

(a) pcscd -> Debian's vpcd (libifdvpcd) -> talvor-vicc: our card model
    served over the vpcd protocol, answering at once;
(b) pcscd -> talvor's IFD handler (libtalvor_ifd) -> driver build 1.1 ->
    reader model with zero latency -> the same card model.

Four readers of one pcscd: a T=1 card (t1-lrc) and a T=0 card (t0) on
each path, all running the echo application. The client is a pyscard loop
of SCardTransmit: short APDUs (case 1, header only) and long ones (case 4,
255 bytes in and Le 00; a T=0 card answers 61xx and the loop fetches the
answer with GET RESPONSE, counted as one APDU, as an application must),
each answer checked. It prints APDUs per second of each path and the ratio
b/a. Then, on (b), the time from a card removal (`remove` written to the
handler's slot FIFO) to the client's SCardGetStatusChange reporting the
slot empty, over a number of removals.

pcscd runs in a mount namespace of its own (unshare --mount, a tmpfs over
/run/pcscd, where pcscd 1.9.9 always listens, and a private reader.conf.d),
so it runs beside the system's pcscd; everything started is stopped by
process id. Needs root. `make bench-pcscd` runs it after a build.

usage: pcscd_compare.py [--build DIR] [--seconds S] [--removals N]
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

INSIDE = "TALVOR_BENCH_NAMESPACE"
VPCD = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
ECHO_CASE1, ECHO_CASE4, GET_RESPONSE = 0x10, 0x40, 0xC0
LONG_DATA = [(i * 7 + 1) & 0xFF for i in range(255)]
SHORT = [0x00, ECHO_CASE1, 0x00, 0x00]
LONG = [0x00, ECHO_CASE4, 0x00, 0x00, 255] + LONG_DATA + [0x00]


class Failure(Exception):
    pass


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="out",
                        help="the CMake binary directory (default out)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="how long each APDU loop runs (default 3)")
    parser.add_argument("--removals", type=int, default=20,
                        help="card removals timed on (b) (default 20)")
    return parser.parse_args()


def enter_namespace():
    """Runs this script again in a mount namespace of its own, unless it
    already is in one; there, a private /run/pcscd."""
    if os.environ.get(INSIDE) == "1":
        os.makedirs("/run/pcscd", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/pcscd"],
                       check=True)
        return
    if os.geteuid() != 0:
        sys.exit("pcscd_compare: needs root (a mount namespace, a private "
                 "/run/pcscd)")
    for tool in ("unshare", "mount", "pcscd"):
        if shutil.which(tool) is None:
            sys.exit(f"pcscd_compare: {tool} is not installed")
    env = dict(os.environ, **{INSIDE: "1"})
    result = subprocess.run(["unshare", "--mount", "--propagation", "private",
                             sys.executable] + sys.argv, env=env)
    sys.exit(result.returncode)


def free_port_pair():
    """Two consecutive free TCP ports: vpcd serves slot n on PORT + n."""
    for _ in range(50):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port >= 65535:
            continue
        try:
            with socket.socket() as one, socket.socket() as two:
                one.bind(("0.0.0.0", port))
                two.bind(("0.0.0.0", port + 1))
            return port
        except OSError:
            continue
    raise Failure("no two consecutive free TCP ports")


class Processes:
    """What the run started, stopped by process id whatever happens."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.started = []  # (name, Popen)

    def start(self, name, command, env=None):
        log = open(os.path.join(self.workdir, name + ".log"), "w")
        process = subprocess.Popen(command, stdout=log,
                                   stderr=subprocess.STDOUT, env=env)
        log.close()
        self.started.append((name, process))
        return process

    def check_alive(self):
        for name, process in self.started:
            if process.poll() is not None:
                raise Failure(f"{name} ended (status {process.returncode}):"
                              f"\n{self.log(name)}")

    def log(self, name):
        path = os.path.join(self.workdir, name + ".log")
        with open(path, errors="replace") as log:
            return log.read()[-4000:]

    def stop_all(self):
        for _, process in reversed(self.started):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)


def configuration(workdir, port, handler):
    """reader.conf.d with the four readers; returns its path and the
    slot FIFOs of (b) by protocol."""
    conf = os.path.join(workdir, "reader.conf.d")
    os.makedirs(conf)
    fifos = {"T1": os.path.join(workdir, "slot-t1"),
             "T0": os.path.join(workdir, "slot-t0")}
    entries = [
        ("vpcd", f"/dev/null:0x{port:04X}", VPCD),
        ("Talvor T1", f'"talvor:t1-lrc;app=echo;reader=instant;'
                      f'slot={fifos["T1"]}"', handler),
        ("Talvor T0", f'"talvor:t0;app=echo;reader=instant;'
                      f'slot={fifos["T0"]}"', handler),
    ]
    # One file: pcscd reads a directory's files in no fixed order.
    with open(os.path.join(conf, "bench"), "w") as out:
        for friendly, device, library in entries:
            out.write(f'FRIENDLYNAME "{friendly}"\nDEVICENAME {device}\n'
                      f"LIBPATH {library}\n\n")
    return conf, fifos


def vicc_command(vicc, port, card):
    """talvor-vicc serving `card` with the echo application to the vpcd
    listening on 127.0.0.1:PORT."""
    return [vicc, "--card", card, "--app", "echo", f"127.0.0.1:{port}"]


def ok(hr, what):
    from smartcard import scard
    if hr != scard.SCARD_S_SUCCESS:
        raise Failure(f"{what}: {scard.SCardGetErrorMessage(hr)} "
                      f"(0x{hr & 0xFFFFFFFF:08X})")


def wait_for_readers(context, processes, names, limit=30.0):
    """The readers' full names, once each has a card in it."""
    from smartcard import scard
    deadline = time.monotonic() + limit
    while True:
        processes.check_alive()
        hr, readers = scard.SCardListReaders(context, [])
        found = {}
        if hr == scard.SCARD_S_SUCCESS:
            for key, (prefix, suffix) in names.items():
                for reader in readers:
                    if reader.startswith(prefix) and reader.endswith(suffix):
                        found[key] = reader
        if len(found) == len(names):
            hr, states = scard.SCardGetStatusChange(
                context, 0, [(r, scard.SCARD_STATE_UNAWARE)
                             for r in found.values()])
            if hr == scard.SCARD_S_SUCCESS and all(
                    state & scard.SCARD_STATE_PRESENT
                    for _, state, _ in states):
                return found
        if time.monotonic() > deadline:
            raise Failure(f"readers with cards: wanted {names}, "
                          f"pcscd lists {readers if hr == 0 else []}")
        time.sleep(0.1)


def exchange(card, protocol, apdu, long):
    """One application APDU, its answer checked."""
    from smartcard import scard
    hr, answer = scard.SCardTransmit(card, protocol, apdu)
    ok(hr, "SCardTransmit")
    if len(answer) == 2 and answer[0] == 0x61:
        hr, answer = scard.SCardTransmit(
            card, protocol, [0x00, GET_RESPONSE, 0x00, 0x00, answer[1]])
        ok(hr, "SCardTransmit (GET RESPONSE)")
    data, sw = answer[:-2], answer[-2:]
    if sw != [0x90, 0x00]:
        raise Failure(f"SW {bytes(sw).hex()} to {bytes(apdu[:4]).hex()}")
    # Ne 256 comes back whole; a T=0 card never learns Le and sends Lc.
    wanted = ([LONG_DATA[i % 255] for i in range(len(data))]
              if long and len(data) in (255, 256) else [])
    if data != wanted:
        raise Failure(f"{len(data)} bytes back to {bytes(apdu[:4]).hex()}, "
                      "not the echo")


def throughput(context, reader, protocol, long, seconds):
    from smartcard import scard
    hr, card, active = scard.SCardConnect(
        context, reader, scard.SCARD_SHARE_EXCLUSIVE, protocol)
    ok(hr, f"SCardConnect {reader}")
    if active != protocol:
        raise Failure(f"{reader}: protocol {active}, not {protocol}")
    apdu = LONG if long else SHORT
    try:
        exchange(card, protocol, apdu, long)  # not counted: warms the path
        count = 0
        start = time.monotonic()
        deadline = start + seconds
        while time.monotonic() < deadline:
            exchange(card, protocol, apdu, long)
            count += 1
        return count / (time.monotonic() - start)
    finally:
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


def state_of(context, reader):
    from smartcard import scard
    hr, states = scard.SCardGetStatusChange(
        context, 0, [(reader, scard.SCARD_STATE_UNAWARE)])
    ok(hr, "SCardGetStatusChange")
    return states[0][1] & ~scard.SCARD_STATE_CHANGED


def await_state(context, reader, flag, limit):
    """Blocks in SCardGetStatusChange until the reader's state has `flag`;
    the monotonic time it returned."""
    from smartcard import scard
    deadline = time.monotonic() + limit
    current = state_of(context, reader)
    while not current & flag:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure(f"{reader}: state 0x{current:X}, waited for "
                          f"0x{flag:X}")
        hr, states = scard.SCardGetStatusChange(
            context, int(left * 1000) + 1, [(reader, current)])
        if hr == scard.SCARD_E_TIMEOUT:
            continue
        ok(hr, "SCardGetStatusChange")
        current = states[0][1] & ~scard.SCARD_STATE_CHANGED
    return time.monotonic()


def removal_latency(context, reader, fifo, removals):
    """Seconds from each `remove` to the client's event."""
    from smartcard import scard
    latencies = []
    try:
        # Not blocking: with nobody reading the FIFO this fails at once.
        slot = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    except OSError as error:
        raise Failure(f"slot FIFO {fifo}: {error.strerror}")
    try:
        for _ in range(removals):
            await_state(context, reader, scard.SCARD_STATE_PRESENT, 5)
            time.sleep(0.02)  # the handler and pcscd at rest
            start = time.monotonic()
            os.write(slot, b"remove\n")
            returned = await_state(context, reader, scard.SCARD_STATE_EMPTY,
                                   5)
            latencies.append(returned - start)
            os.write(slot, b"insert\n")
    finally:
        os.close(slot)
    return latencies


def machine():
    load = os.getloadavg()
    version = subprocess.run(["pcscd", "--version"], capture_output=True,
                             text=True).stdout.split("\n")[0]
    return (f"{version.strip()} {os.cpu_count()} cores, load "
            f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def measure(args, workdir, processes):
    from smartcard import scard
    build = os.path.abspath(args.build)
    handler = os.path.join(build, "tools", "pcsc", "libtalvor_ifd.so")
    vicc = os.path.join(build, "bin", "talvor-vicc")
    for path in (handler, vicc, VPCD):
        if not os.path.exists(path):
            raise Failure(f"{path} is missing (make build; apt-get install "
                          "vsmartcard-vpcd)")
    port = free_port_pair()
    conf, fifos = configuration(workdir, port, handler)
    processes.start("pcscd", ["pcscd", "--foreground", "--config", conf])
    deadline = time.monotonic() + 20
    while not os.path.exists("/run/pcscd/pcscd.comm"):
        processes.check_alive()
        if time.monotonic() > deadline:
            raise Failure("pcscd did not start:\n" + processes.log("pcscd"))
        time.sleep(0.05)
    # vpcd listens once pcscd has opened its reader.
    time.sleep(0.5)
    processes.start("vicc-t1", vicc_command(vicc, port, "t1-lrc"))
    processes.start("vicc-t0", vicc_command(vicc, port + 1, "t0"))

    hr, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    ok(hr, "SCardEstablishContext")
    try:
        readers = wait_for_readers(context, processes, {
            ("a", "T1"): ("vpcd", "00 00"), ("a", "T0"): ("vpcd", "00 01"),
            ("b", "T1"): ("Talvor T1", ""), ("b", "T0"): ("Talvor T0", "")})
        protocols = {"T1": scard.SCARD_PROTOCOL_T1,
                     "T0": scard.SCARD_PROTOCOL_T0}
        print(f"pcscd side by side: {machine()}")
        print(f"{'':28}{'(a) vpcd':>14}{'(b) talvor':>14}{'b/a':>8}")
        for protocol in ("T1", "T0"):
            for long, label in ((False, "short (case 1)"),
                                (True, "long (255 in, 256 out)")):
                rates = {}
                for path in ("a", "b"):
                    rates[path] = throughput(context, readers[path, protocol],
                                             protocols[protocol], long,
                                             args.seconds)
                    processes.check_alive()
                print(f"{protocol} {label:<25}{rates['a']:>9.0f} APDU/s"
                      f"{rates['b']:>7.0f} APDU/s"
                      f"{rates['b'] / rates['a']:>7.2f}")
        latencies = removal_latency(context, readers["b", "T1"], fifos["T1"],
                                    args.removals)
        processes.check_alive()
        ms = [latency * 1000 for latency in latencies]
        print(f"(b) card removal to SCardGetStatusChange: mean "
              f"{statistics.mean(ms):.2f} ms, median "
              f"{statistics.median(ms):.2f} ms, max {max(ms):.2f} ms over "
              f"{len(ms)} removals (target 10 ms)")
    finally:
        scard.SCardReleaseContext(context)


def main():
    args = arguments()
    enter_namespace()
    workdir = tempfile.mkdtemp(prefix="talvor-bench-pcscd-")
    processes = Processes(workdir)
    try:
        measure(args, workdir, processes)
    except Failure as failure:
        print(f"pcscd_compare: {failure}\n(logs in {workdir})",
              file=sys.stderr)
        sys.exit(1)
    finally:
        processes.stop_all()
    shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
