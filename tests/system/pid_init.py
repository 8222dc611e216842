#!/usr/bin/python3
"""The first process of the test host's PID namespace: it only reaps.

Every process of the test's own processes that loses its parent (a command
the daemon started without waiting, a stand-in browser) ends up here and is
reaped, so `ps` inside the test host never lists a leftover <defunct> entry.
When it ends, the kernel kills everything else in the namespace."""
import os
import signal

signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD})
while True:
    try:
        while os.waitpid(-1, os.WNOHANG)[0] > 0:
            pass
    except ChildProcessError:
        pass
    signal.sigtimedwait({signal.SIGCHLD}, 1.0)
