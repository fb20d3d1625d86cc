"""A pcscd of a test's own, serving the IFD handler, and its clients.

Each test runs in a mount namespace of its own with a tmpfs over
/run/pcscd (pcscd always listens on /run/pcscd/pcscd.comm), so it runs
beside the system's pcscd and beside the other tests. Everything it starts
is stopped by process id; every wait has a limit, so a hang fails.
"""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests
INSIDE = "TALVOR_E2E_NAMESPACE"

# The card models' ATRs, as pcsc_scan and pyscard print them.
ATR_T1_LRC = "3B 99 96 81 31 80 45 74 61 6C 76 6F 72 20 54 31 2D"


def enter_namespace():
    """Runs the calling script again in a mount namespace of its own with
    a private /run/pcscd, unless it already is there."""
    if os.environ.get(INSIDE) == "1":
        os.makedirs("/run/pcscd", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/pcscd"],
                       check=True)
        return
    for tool in ("unshare", "pcscd", "mount"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed")
            sys.exit(SKIP)
    if os.geteuid() != 0:
        print("SKIP: a mount namespace needs root (CI runs as root)")
        sys.exit(SKIP)
    env = dict(os.environ, **{INSIDE: "1"})
    result = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable]
        + sys.argv, env=env)
    sys.exit(result.returncode)


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


class Pcscd:
    """pcscd in the foreground with a configuration naming `readers`:
    (friendly name, DEVICENAME) pairs, served by the handler at
    `library`."""

    def __init__(self, library, readers, workdir):
        self.workdir = workdir
        self.log_path = os.path.join(workdir, "pcscd.log")
        self.conf = os.path.join(workdir, "reader.conf.d")
        os.makedirs(self.conf, exist_ok=True)
        # One file: pcscd reads a directory's files in no fixed order.
        with open(os.path.join(self.conf, "talvor"), "w") as out:
            for friendly, device in readers:
                out.write(f'FRIENDLYNAME "{friendly}"\n'
                          f"DEVICENAME {device}\n"
                          f"LIBPATH {library}\n\n")
        self.process = None

    def __enter__(self):
        log = open(self.log_path, "w")
        # The handler finds the driver images by itself.
        env = {k: v for k, v in os.environ.items() if k != "TALVOR_IMAGE_DIR"}
        self.process = subprocess.Popen(
            ["pcscd", "--foreground", "--info", "--config", self.conf],
            stdout=log, stderr=subprocess.STDOUT, env=env)
        log.close()
        deadline = time.monotonic() + 20
        while not os.path.exists("/run/pcscd/pcscd.comm"):
            if self.process.poll() is not None:
                fail("pcscd ended at start:\n" + self.log())
            if time.monotonic() > deadline:
                fail("pcscd did not start:\n" + self.log())
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)

    def alive(self):
        return self.process.poll() is None

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()[-6000:]


def run(command, timeout=60):
    """A client, its output; a hang or a failure fails the test."""
    try:
        result = subprocess.run(command, capture_output=True, text=True,
                                timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        fail(f"{command[0]} did not end in {timeout} s:\n"
             f"{expired.stdout or ''}")
    return result.returncode, result.stdout + result.stderr


def workdir():
    """A directory of the test's own, gone when the test ends."""
    path = tempfile.mkdtemp(prefix="talvor-e2e-")
    atexit.register(shutil.rmtree, path, True)
    return path


def atr_text(atr):
    return " ".join(f"{b:02X}" for b in atr)


class Client:
    """A PC/SC client of one reader: waits in SCardGetStatusChange for
    the reader's state, connects, transmits."""

    # Far beyond any event's way through: a lost event fails, a late one
    # does not.
    EVENT_LIMIT_MS = 20000

    def __init__(self, pcscd, name):
        from smartcard import scard
        self.scard, self.pcscd = scard, pcscd
        result, self.context = scard.SCardEstablishContext(
            scard.SCARD_SCOPE_USER)
        result, names = scard.SCardListReaders(self.context, [])
        if result != scard.SCARD_S_SUCCESS or name not in names:
            fail(f"no {name} in {names}\n{pcscd.log()}")
        self.name = name
        self.seen = [(name, scard.SCARD_STATE_UNAWARE, [])]

    def wait_for(self, present, atr, what):
        """Waits until the slot is empty, or holds a card of `atr` (any
        when None); each change must come within the limit."""
        scard = self.scard

        def matches():
            _, state, got = self.seen[0]
            if not present:
                return bool(state & scard.SCARD_STATE_EMPTY)
            return bool(state & scard.SCARD_STATE_PRESENT) and \
                (atr is None or atr_text(got) == atr)

        while not matches():
            states = [(name, state & ~scard.SCARD_STATE_CHANGED)
                      for name, state, _ in self.seen]
            result, now = scard.SCardGetStatusChange(
                self.context, self.EVENT_LIMIT_MS, states)
            if result == scard.SCARD_E_TIMEOUT:
                fail(f"{what}: no event\n{self.pcscd.log()}")
            if result != scard.SCARD_S_SUCCESS:
                fail(f"{what}: {scard.SCardGetErrorMessage(result)}\n"
                     f"{self.pcscd.log()}")
            self.seen = now
        return self.seen[0][2]

    def session(self, exchanges):
        """Connects in T=1, sends each APDU and checks its response with
        its predicate, disconnects."""
        scard = self.scard
        result, card, protocol = scard.SCardConnect(
            self.context, self.name, scard.SCARD_SHARE_SHARED,
            scard.SCARD_PROTOCOL_T1)
        if result != scard.SCARD_S_SUCCESS:
            fail("connect: " + scard.SCardGetErrorMessage(result))
        for apdu, good in exchanges:
            result, response = scard.SCardTransmit(card, protocol, apdu)
            if result != scard.SCARD_S_SUCCESS or not good(response):
                fail(f"{bytes(apdu).hex()}: {response}\n{self.pcscd.log()}")
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def control(self, code, data):
        """SCardControl on a direct connection: the response bytes."""
        scard = self.scard
        result, card, _ = scard.SCardConnect(
            self.context, self.name, scard.SCARD_SHARE_DIRECT, 0)
        if result != scard.SCARD_S_SUCCESS:
            fail("direct connect: " + scard.SCardGetErrorMessage(result))
        result, response = scard.SCardControl(card, code, data)
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        return result, response

    def close(self):
        self.scard.SCardReleaseContext(self.context)
