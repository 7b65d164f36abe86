#!/usr/bin/env python3
"""pelkron's upload written with pyserial, for comparing CPU cost: the same
line settings, one write per wire byte, the same flushed echo lines. PORT is
a device path or a pyserial URL (rfc2217://host:port)."""
import sys

import serial


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: pyserial_upload.py PORT FILE")
    # A device path, or a URL such as rfc2217://host:port for a port served
    # over the network.
    port = serial.serial_for_url(sys.argv[1], 1200, bytesize=8, parity="N", stopbits=1, xonxoff=True)
    with open(sys.argv[2], "rb") as source:
        data = source.read()
    for byte in data:
        high, low = byte >> 4, byte & 0x0F
        port.write(bytes((high,)))
        port.write(bytes((low,)))
        print("%02x %02x" % (high, low), flush=True)
    port.write(b"\x10")
    port.flush()


main()
