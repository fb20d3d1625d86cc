"""`make install-pcsc` into a staging directory: the handler, the
libraries it loads and both driver images in one directory, the
reader.conf.d entry naming it; pcscd then serves the card from the
installed files alone."""

import os
import sys

import pcscd_run
from pcscd_run import fail, run

PREFIX = "/opt/talvor"
INSTALLED = ["libtalvor_ifd.so", "libtalvor_kernel.so", "libtalvor_smclib.so",
             "libtalvor_usb.so", "talvor10.so", "talvor11.so"]


def main(source, build):
    pcscd_run.enter_namespace()
    work = pcscd_run.workdir()
    stage = os.path.join(work, "stage")
    status, output = run(["make", "-C", source, "install-pcsc",
                          f"DESTDIR={stage}", f"PCSC_BUILD={build}",
                          f"PCSC_PREFIX={PREFIX}",
                          "PCSC_CONF=/etc/reader.conf.d/talvor"], timeout=600)
    if status != 0:
        fail("make install-pcsc:\n" + output)
    if "Restart pcscd" not in output:
        fail("no word of restarting pcscd:\n" + output)
    directory = os.path.join(stage, PREFIX.lstrip("/"), "lib", "talvor")
    if sorted(os.listdir(directory)) != INSTALLED:
        fail(f"installed: {sorted(os.listdir(directory))}")
    with open(os.path.join(stage, "etc/reader.conf.d/talvor")) as entry:
        text = entry.read()
    expected = ("# The talvor reader (make install-pcsc)\n"
                'FRIENDLYNAME "Talvor reader"\n'
                "DEVICENAME talvor:t1-lrc\n"
                f"LIBPATH {PREFIX}/lib/talvor/libtalvor_ifd.so\n")
    if text != expected:
        fail("reader.conf.d entry:\n" + text)

    # The staged files, as installed ones: nothing from the build tree.
    library = os.path.join(directory, "libtalvor_ifd.so")
    readers = [("Talvor reader", "talvor:t1-lrc")]
    with pcscd_run.Pcscd(library, readers, work) as pcscd:
        status, cards = run(["pcsc_scan", "-c"])
        if "ATR: " + pcscd_run.ATR_T1_LRC not in cards:
            fail(f"pcsc_scan -c: {cards}\n{pcscd.log()}")
        with open(f"/proc/{pcscd.process.pid}/maps") as maps:
            loaded = {line.split()[-1] for line in maps
                      if "talvor" in line.split()[-1]}
        expected = {os.path.join(directory, name) for name in
                    ("libtalvor_ifd.so", "libtalvor_kernel.so",
                     "libtalvor_smclib.so", "libtalvor_usb.so", "talvor11.so")}
        if loaded != expected:
            fail(f"pcscd loaded {sorted(loaded)}")
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
