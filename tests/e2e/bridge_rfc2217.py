"""pyserial's RFC 2217 client on ser2net, which exports q7m-uart-bridge's
pseudo-terminal: data both ways, then a baud rate change.

usage: bridge_rfc2217.py PORT GOFILE

ser2net cannot set DTR or RTS on a pseudo-terminal and so never acknowledges
those controls; ign_set_control tells pyserial not to wait for that.
"""
import os
import sys
import time

import serial

port, go = sys.argv[1], sys.argv[2]
line = serial.serial_for_url(
    "rfc2217://127.0.0.1:%s?ign_set_control" % port, baudrate=115200, timeout=30)
line.write(b"ping over the network\n")
answer = line.read_until(b"pong\n")
assert answer.endswith(b"pong\n"), answer
print("answered at 115200", flush=True)
line.baudrate = 57600
print("asked for 57600", flush=True)
# The test lets us go on once the UART has the new divisor.
while not os.path.exists(go):
    time.sleep(0.02)
line.write(b"after the change\n")
answer = line.read_until(b"done\n")
assert answer.endswith(b"done\n"), answer
print("answered at 57600", flush=True)
line.close()
