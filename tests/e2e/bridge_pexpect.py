"""A pexpect script on q7m-uart-bridge's pseudo-terminal: starts an
interactive shell on the remote side, runs a command and checks its output.

usage: bridge_pexpect.py LINK
"""
import os
import sys

import pexpect
import pexpect.fdpexpect

fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
console = pexpect.fdpexpect.fdspawn(fd, timeout=30, encoding="utf-8")
# The remote side runs a plain sh reading the line; it becomes interactive.
console.sendline("PS1='remote$ ' exec sh -i")
console.expect_exact("remote$ ")
console.sendline("echo $((6 * 7)) bridged; uname -s")
console.expect(r"42 bridged\r?\nLinux\r?\n")
console.expect_exact("remote$ ")
print("the remote shell answered", flush=True)
