"""qmxhost as the Python tests run it: started until it says where it
listens, stopped as a service is, and a state waited for, never a while."""
import signal
import subprocess
import time

PATIENCE_S = 90


def start_host(argv, said, stdout=subprocess.DEVNULL):
    """qmxhost run with `argv`, its standard output dropped (or written to
    `stdout`), and the rest of the first line of its standard error after
    `said` ("live view at ", "Modbus server at "); None for that when it ends
    without saying it."""
    host = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE, text=True)
    for line in host.stderr:
        if said in line:
            return host, line.split(said, 1)[1].strip()
    return host, None


def stop(process):
    """SIGINT, and its end awaited; False when it had to be killed."""
    if process.poll() is not None:
        return True
    process.send_signal(signal.SIGINT)
    try:
        process.wait(timeout=30)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        return False


def wait_for(what, condition, patience_s=PATIENCE_S):
    """What `condition` gives once it gives something, asked every 0.2 s."""
    deadline = time.monotonic() + patience_s
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    raise SystemExit(f"FAIL: {what} within {patience_s} s")
