"""A virtual card (Debian's vicc) in the reader while it is connected to
the handler, which listens as vpcd: the card comes when vicc connects,
answers through pcscd, the driver and the reader model, and goes when
vicc hangs up."""

import os
import signal
import socket
import subprocess
import sys

import pcscd_run
from pcscd_run import fail

VICC = "/usr/bin/vicc"
# Debian installs vicc's modules a folder too deep, and vicc imports Crypto
# where Debian ships Cryptodome.
VICC_MODULES = "/usr/lib/python3/site-packages/virtualsmartcard"
CRYPTODOME = "/usr/lib/python3/dist-packages/Cryptodome"
# t1-lrc's interface bytes, vicc's historical bytes.
ATR = "3B 95 96 81 31 80 45 80 73 FF 01 00 7B"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main(library):
    if not os.path.exists(VICC) or not os.path.exists(CRYPTODOME):
        print("SKIP: vicc needs vsmartcard-vpicc and python3-pycryptodome")
        sys.exit(pcscd_run.SKIP)
    pcscd_run.enter_namespace()
    work = pcscd_run.workdir()
    port = free_port()
    readers = [("Talvor vicc", f"vicc:127.0.0.1:{port}")]
    with pcscd_run.Pcscd(library, readers, work) as pcscd:
        client = pcscd_run.Client(pcscd, "Talvor vicc 00 00")
        client.wait_for(False, None, "no card before vicc")
        os.symlink(CRYPTODOME, os.path.join(work, "Crypto"))
        env = dict(os.environ, PYTHONPATH=f"{work}:{VICC_MODULES}")
        with open(os.path.join(work, "vicc.log"), "w") as log:
            vicc = subprocess.Popen(
                [VICC, "-t", "iso7816", "-H", "127.0.0.1", "-P", str(port)],
                stdout=log, stderr=subprocess.STDOUT, env=env)
        try:
            client.wait_for(True, ATR, "vicc's card")
            # SELECT MF; GET CHALLENGE of eight bytes.
            client.session([
                ([0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00],
                 lambda response: response == [0x90, 0x00]),
                ([0x00, 0x84, 0x00, 0x00, 0x08],
                 lambda response: len(response) == 10 and
                 response[-2:] == [0x90, 0x00])])
        finally:
            vicc.send_signal(signal.SIGTERM)
            vicc.wait(timeout=10)
        client.wait_for(False, None, "the card gone with vicc")
        client.close()
        if not pcscd.alive():
            fail("pcscd ended:\n" + pcscd.log())
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
