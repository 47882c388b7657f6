"""What the simulated meter served, read from its log (one JSON event a line)."""
import json


def served_cycles(log_path, slave=1):
    """The registers of each complete cycle the simulator served to `slave`."""
    banks, blocks = {}, {}
    with open(log_path, encoding="utf-8") as log:
        for line in log:
            event = json.loads(line)
            if event.get("event") != "served" or event.get("slave") != slave:
                continue
            bank = banks.setdefault(event["cycle"], {})
            for i, value in enumerate(event["values"]):
                bank[event["address"] + i] = value
            blocks.setdefault(event["cycle"], set()).add(event["address"])
    return {cycle: bank for cycle, bank in banks.items() if len(blocks[cycle]) == 4}


def register_pair(bank, high_register):
    """The signed 32-bit number a register pair holds, the high half first."""
    bits = bank[high_register] << 16 | bank[high_register + 1]
    return bits - (1 << 32) if bits & 0x80000000 else bits
