#!/usr/bin/python3
"""qmxhost --modbus-server as Debian's Modbus tools read it: pymodbus and
mbpoll each read a block of the meter's registers, and each block must be
what the simulated meter served in one cycle (from the simulator's log)."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from pymodbus.client import ModbusTcpClient

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from host_process import start_host, stop, wait_for  # noqa: E402
from sim_log import served_cycles  # noqa: E402


def from_one_served_cycle(log_path, first, registers):
    block = range(first, first + len(registers))
    return any([bank[r] for r in block] == registers for bank in served_cycles(log_path).values())


def mbpoll_read(port, first, count):
    """The registers, by mbpoll with 0-based references; none on a refusal."""
    run = subprocess.run(["mbpoll", "-a", "1", "-0", "-r", str(first), "-c", str(count), "-t", "4", "-1",
                          "-o", "5", "-p", str(port), "127.0.0.1"], capture_output=True, text=True, timeout=60)
    values = dict((int(at), int(value)) for at, value in re.findall(r"^\[(\d+)\]:\s+(\d+)", run.stdout, re.M))
    return [values[r] for r in range(first, first + count)] if len(values) == count else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--config", required=True)
    args = parser.parse_args()

    log_path = tempfile.mktemp(prefix="qv5810_modbus_tools_", suffix=".log")
    host, where = start_host([args.host, "--plugin", args.plugin, "--config", args.config, "--quiet",
                              "--modbus-server", "127.0.0.1:0", "--interval", "0.5", f"--sim-arg=--log={log_path}"],
                             "Modbus server at ")
    try:
        if where is None:
            raise SystemExit("FAIL: qmxhost did not start its Modbus server")
        port = int(where.rsplit(":", 1)[1])

        client = ModbusTcpClient("127.0.0.1", port=port, timeout=10)
        def pymodbus_read():
            answer = client.read_holding_registers(1792, 22, slave=1)
            return None if answer.isError() else answer.registers

        voltages = wait_for("pymodbus to read registers 1792 to 1813", pymodbus_read)
        client.close()
        if not from_one_served_cycle(log_path, 1792, voltages):
            raise SystemExit(f"FAIL: pymodbus read {voltages}, which no cycle served")
        tail = wait_for("mbpoll to read registers 1880 to 1887", lambda: mbpoll_read(port, 1880, 8))
        if not from_one_served_cycle(log_path, 1880, tail):
            raise SystemExit(f"FAIL: mbpoll read {tail}, which no cycle served")
        print(f"modbus tools: pymodbus and mbpoll read what the meter served ({voltages[:4]}…, {tail[:4]}…)")
        return 0
    finally:
        stop(host)
        if os.path.exists(log_path):
            os.remove(log_path)


if __name__ == "__main__":
    sys.exit(main())
