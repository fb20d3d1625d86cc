"""Card insertions and removals through the slot FIFO reach a PC/SC client
waiting in SCardGetStatusChange, carried by the driver's card tracking;
a card swapped at once is a new card; bad slot commands are refused in
pcscd's log and change nothing."""

import os
import sys

import pcscd_run
from pcscd_run import fail

ATR_T0 = "3B 99 94 40 0A 74 61 6C 76 6F 72 20 54 30"
ATR_T1_CRC = "3B 9A 13 81 71 20 45 01 74 61 6C 76 6F 72 20 43 52 43 7D"


def main(library):
    pcscd_run.enter_namespace()
    work = pcscd_run.workdir()
    slot = os.path.join(work, "slots", "slot0")
    readers = [("Talvor reader",
                f'"talvor:none;app=echo;reader=instant;slot={slot}"')]
    with pcscd_run.Pcscd(library, readers, work) as pcscd:
        client = pcscd_run.Client(pcscd, "Talvor reader 00 00")
        if not os.path.exists(slot):
            fail("no slot FIFO\n" + pcscd.log())

        def command(text):
            with open(slot, "w") as fifo:
                fifo.write(text)

        client.wait_for(False, None, "empty at start")
        command("insert t1-lrc\n")
        client.wait_for(True, pcscd_run.ATR_T1_LRC, "insertion")
        command("remove\n")
        client.wait_for(False, None, "removal")
        command("insert t0\n")
        client.wait_for(True, ATR_T0, "insertion of a T=0 card")

        # Out and in again at once: pcscd must see the new card.
        command("remove\ninsert t1-crc\n")
        client.wait_for(True, ATR_T1_CRC, "a card swapped")

        # Refused, each with a reason in the log; the card stays.
        command("insert no-such-card\ninsert none\ninsert t0\nshake\n")
        command("remove\n")
        client.wait_for(False, None, "removal after refused commands")
        log = pcscd.log()
        for reason in ('insert: no card model "no-such-card"',
                       "insert: none is no card to insert",
                       "insert: a card is in the slot; remove it first",
                       'unknown command "shake"'):
            if reason not in log:
                fail(f"no \"{reason}\" in the log:\n{log}")

        # The card answers after all that: case 2, three bytes from 07.
        command("insert t1-lrc\n")
        client.wait_for(True, pcscd_run.ATR_T1_LRC, "last insertion")
        client.session([([0x00, 0x20, 0x07, 0x00, 0x03],
                         lambda response: response == [7, 8, 9, 0x90, 0])])
        # The reader's vendor codes reach the reader: its two-byte register
        # written, then read back.
        write, read = 0x222030, 0x222034
        if client.control(write, [0x12, 0x34]) != (0, []) or \
                client.control(read, []) != (0, [0x12, 0x34]):
            fail("vendor register: " + str(client.control(read, [])))
        result, _ = client.control(0x42000D48, [])  # not the reader's
        if result == 0:
            fail("a foreign control code served")
        client.close()
        if not pcscd.alive():
            fail("pcscd ended:\n" + pcscd.log())
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
