"""pcsc_scan and opensc-tool, Debian's own clients, through pcscd and the
IFD handler: two readers of one handler, one per driver build."""

import sys

import pcscd_run
from pcscd_run import fail, run

ATR_T0 = "3B 99 94 40 0A 74 61 6C 76 6F 72 20 54 30"

# SELECT MF, SELECT EF 2F00, READ BINARY of 8 bytes: i + 0x00.
SESSION = ["00A4000C023F00", "00A4000C022F00", "00B0000008"]
SESSION_OUTPUT = """\
Sending: 00 A4 00 0C 02 3F 00 
Received (SW1=0x90, SW2=0x00)
Sending: 00 A4 00 0C 02 2F 00 
Received (SW1=0x90, SW2=0x00)
Sending: 00 B0 00 00 08 
Received (SW1=0x90, SW2=0x00):
00 01 02 03 04 05 06 07 ........
"""


def main(library):
    pcscd_run.enter_namespace()
    readers = [("Talvor reader", "talvor:t1-lrc"),
               ("Talvor T0", '"talvor:t0;build=1.0;reader=instant"'),
               ("Talvor typo", "talvor:t1-lcr")]
    with pcscd_run.Pcscd(library, readers, pcscd_run.workdir()) as pcscd:
        status, listed = run(["pcsc_scan", "-r"])
        if status != 0 or listed.splitlines()[-2:] != [
                "0: Talvor reader 00 00", "1: Talvor T0 01 00"]:
            fail(f"pcsc_scan -r: {listed}\n{pcscd.log()}")

        # The reader that cannot be is refused with the reason, in
        # pcscd's own log; the others are served.
        reason = ('talvor: DEVICENAME "talvor:t1-lcr": no card model '
                  '"t1-lcr"')
        if reason not in pcscd.log():
            fail("no refusal in the log:\n" + pcscd.log())

        # Both cards seen by pcscd (at once, unless the machine is busy).
        for name in ("Talvor reader 00 00", "Talvor T0 01 00"):
            client = pcscd_run.Client(pcscd, name)
            client.wait_for(True, None, name)
            client.close()
        status, cards = run(["pcsc_scan", "-c"])
        lines = [line.strip() for line in cards.splitlines()
                 if "Event number" not in line]
        expected = ["Reader 0: Talvor reader 00 00",
                    "Card state: Card inserted,",
                    "ATR: " + pcscd_run.ATR_T1_LRC,
                    "Reader 1: Talvor T0 01 00",
                    "Card state: Card inserted,", "ATR: " + ATR_T0]
        if status != 0 or lines[-len(expected):] != expected:
            fail(f"pcsc_scan -c: {cards}\n{pcscd.log()}")

        for reader in ("0", "1"):
            command = ["opensc-tool", "-r", reader]
            for apdu in SESSION:
                command += ["-s", apdu]
            status, output = run(command)
            if status != 0 or output != SESSION_OUTPUT:
                fail(f"opensc-tool -r {reader}: {output}\n{pcscd.log()}")

        if not pcscd.alive():
            fail("pcscd ended:\n" + pcscd.log())
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
