"""Card insertions and removals through the slot FIFO reach a PC/SC client
waiting in SCardGetStatusChange, carried by the driver's card tracking;
a card swapped between two looks is a new card; bad slot commands are
refused in pcscd's log and change nothing."""

import os
import sys

import pcscd_run
from pcscd_run import fail

ATR_T0 = "3B 99 94 40 0A 74 61 6C 76 6F 72 20 54 30"
ATR_T1_CRC = "3B 9A 13 81 71 20 45 01 74 61 6C 76 6F 72 20 43 52 43 7D"
# Far beyond any event's way through; a lost event fails, a late one not.
EVENT_LIMIT_MS = 20000


def main(library):
    pcscd_run.enter_namespace()
    from smartcard import scard

    work = pcscd_run.workdir()
    slot = os.path.join(work, "slots", "slot0")
    readers = [("Talvor reader",
                f'"talvor:none;app=echo;reader=instant;slot={slot}"')]
    with pcscd_run.Pcscd(library, readers, work) as pcscd:
        result, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
        result, names = scard.SCardListReaders(context, [])
        if result != scard.SCARD_S_SUCCESS or names != ["Talvor reader 00 00"]:
            fail(f"readers: {names}\n{pcscd.log()}")
        if not os.path.exists(slot):
            fail("no slot FIFO\n" + pcscd.log())
        seen = [(names[0], scard.SCARD_STATE_UNAWARE, [])]

        def matches(present, atr):
            _, state, got = seen[0]
            if not present:
                return bool(state & scard.SCARD_STATE_EMPTY)
            return bool(state & scard.SCARD_STATE_PRESENT) and \
                " ".join(f"{b:02X}" for b in got) == atr

        def wait_for(present, atr, what):
            """Waits until the reader is as asked; each change must come."""
            nonlocal seen
            while not matches(present, atr):
                states = [(name, state & ~scard.SCARD_STATE_CHANGED)
                          for name, state, _ in seen]
                result, now = scard.SCardGetStatusChange(
                    context, EVENT_LIMIT_MS, states)
                if result == scard.SCARD_E_TIMEOUT:
                    fail(f"{what}: no event\n{pcscd.log()}")
                if result != scard.SCARD_S_SUCCESS:
                    fail(f"{what}: {scard.SCardGetErrorMessage(result)}")
                seen = now

        def command(text):
            with open(slot, "w") as fifo:
                fifo.write(text)

        wait_for(False, None, "empty at start")
        command("insert t1-lrc\n")
        wait_for(True, pcscd_run.ATR_T1_LRC, "insertion")
        command("remove\n")
        wait_for(False, None, "removal")
        command("insert t0\n")
        wait_for(True, ATR_T0, "insertion of a T=0 card")

        # Out and in again at once: pcscd must see the new card.
        command("remove\ninsert t1-crc\n")
        wait_for(True, ATR_T1_CRC, "a card swapped")

        # Refused, each with a reason in the log; the card stays.
        command("insert no-such-card\ninsert t0\nshake\n")
        command("remove\n")
        wait_for(False, None, "removal after refused commands")
        log = pcscd.log()
        for reason in ('insert: no card model "no-such-card"',
                       "insert: a card is in the slot; remove it first",
                       'unknown command "shake"'):
            if reason not in log:
                fail(f"no \"{reason}\" in the log:\n{log}")

        # The card answers after all that.
        command("insert t1-lrc\n")
        wait_for(True, pcscd_run.ATR_T1_LRC, "last insertion")
        result, card, protocol = scard.SCardConnect(
            context, names[0], scard.SCARD_SHARE_SHARED,
            scard.SCARD_PROTOCOL_T1)
        if result != scard.SCARD_S_SUCCESS:
            fail("connect: " + scard.SCardGetErrorMessage(result))
        result, response = scard.SCardTransmit(
            card, protocol, [0x00, 0x20, 0x07, 0x00, 0x03])
        if result != scard.SCARD_S_SUCCESS or response != [7, 8, 9, 0x90, 0]:
            fail(f"transmit: {response}")
        scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)
        scard.SCardReleaseContext(context)
        if not pcscd.alive():
            fail("pcscd ended:\n" + pcscd.log())
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
