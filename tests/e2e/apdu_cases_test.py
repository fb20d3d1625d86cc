"""APDU cases 1 to 4 of every length through pyscard, pcscd, the IFD
handler and the driver, in T=0 and in T=1, against the echo application
of the card models on the zero-latency reader; every response checked
byte for byte."""

import sys

import pcscd_run
from pcscd_run import fail

CASE1, CASE2, CASE3, CASE4 = 0x10, 0x20, 0x30, 0x40  # the echo's INS
OK = [0x90, 0x00]


def exchange(connection, apdu, expected, what):
    data, sw1, sw2 = connection.transmit(apdu)
    if data + [sw1, sw2] != expected:
        fail(f"{what}: sent {bytes(apdu).hex()}, got "
             f"{bytes(data + [sw1, sw2]).hex()}, expected "
             f"{bytes(expected).hex()}")


def run_cases(connection, t0):
    exchange(connection, [0x00, CASE1, 0x00, 0x00], OK, "case 1")
    for ne in range(1, 257):
        p1 = ne & 0xFF
        exchange(connection, [0x00, CASE2, p1, 0x00, ne & 0xFF],
                 [(p1 + i) & 0xFF for i in range(ne)] + OK, f"case 2, Ne {ne}")
    for nc in range(1, 256):
        data = [(0x80 + i) & 0xFF for i in range(nc)]
        exchange(connection, [0x00, CASE3, 0x00, 0x00, nc] + data, OK,
                 f"case 3, Nc {nc}")
    for nc in range(1, 256):
        data = [(nc + i) & 0xFF for i in range(nc)]
        ne = 256 - nc  # every Ne from 255 down to 1
        repeated = [data[i % nc] for i in range(ne)]
        command = [0x00, CASE4, 0x00, 0x00, nc] + data + [ne & 0xFF]
        if not t0:
            exchange(connection, command, repeated + OK, f"case 4, Nc {nc}")
            continue
        # T=0 carries no Le with data: 61xx, then GET RESPONSE.
        exchange(connection, command, [0x61, nc], f"case 4, Nc {nc}")
        exchange(connection, [0x00, 0xC0, 0x00, 0x00, nc], data + OK,
                 f"case 4 GET RESPONSE, Nc {nc}")


def main(library):
    pcscd_run.enter_namespace()
    from smartcard.CardConnection import CardConnection
    from smartcard.System import readers as list_readers

    readers = [("Talvor T0", '"talvor:t0;app=echo;reader=instant"'),
               ("Talvor T1", '"talvor:t1-crc;app=echo;reader=instant"')]
    with pcscd_run.Pcscd(library, readers, pcscd_run.workdir()) as pcscd:
        found = {str(reader): reader for reader in list_readers()}
        for name, t0 in (("Talvor T0 00 00", True), ("Talvor T1 01 00", False)):
            if name not in found:
                fail(f"no reader {name} in {list(found)}\n{pcscd.log()}")
            connection = found[name].createConnection()
            protocol = (CardConnection.T0_protocol if t0
                        else CardConnection.T1_protocol)
            connection.connect(protocol)
            if connection.getProtocol() != protocol:
                fail(f"{name}: protocol {connection.getProtocol()}")
            run_cases(connection, t0)
            connection.disconnect()
        if not pcscd.alive():
            fail("pcscd ended:\n" + pcscd.log())
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
