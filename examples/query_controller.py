"""Connect to a controller (the simulator by default), read a few values and disconnect.

python examples/query_controller.py                 # starts a simulator of its own
python examples/query_controller.py 192.168.0.1     # a real controller: reads only
"""

from __future__ import annotations

import sys

from epson_remote import CommandChannel
from epson_remote.sim import ControllerSimulator


def query(host: str, port: int) -> None:
    channel = CommandChannel()
    channel.connect(host, port)
    try:
        print("Emergency stop:", channel.is_emergency_stopped())
        print("Power mode:    ", channel.get_power_mode().name)
        print("Selected Tool: ", channel.get_tool())
        limits = channel.get_ptp_motion_limits()
        print("PTP limits:    ", limits.acceleration_percent, limits.deceleration_percent)
        state = channel.get_state()
        print("Joints [deg]:  ", [round(value, 3) for value in state["joint_positions"]])
        print("TCP pose:      ", [round(value, 3) for value in state["tcp_pose"]])
    finally:
        channel.disconnect()


def main() -> None:
    if len(sys.argv) > 1:
        query(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else CommandChannel.default_port)
        return
    with ControllerSimulator() as sim:
        assert sim.command_port is not None
        query(sim.host, sim.command_port)


if __name__ == "__main__":
    main()
