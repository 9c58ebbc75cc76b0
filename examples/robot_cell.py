"""Open the command session and telemetry as one unit with ``RobotCell``, then close both.

    python examples/robot_cell.py                  # a simulator of its own
    python examples/robot_cell.py 192.168.0.1      # a real controller: reads only

``RobotCell`` logs in with the empty password; use ``CommandChannel`` and
``EthernetReceiveInterface`` yourself for a controller that has a Remote Ethernet password.
"""

from __future__ import annotations

import sys

from epson_remote import RobotCell
from epson_remote.sim import ControllerSimulator


def look(host: str, control_port: int = 5000, receive_port: int = 2000) -> None:
    cell = RobotCell(host, control_port, receive_port)  # motors stay off
    try:
        control = cell.get_control_interface()
        telemetry = cell.get_receive_interface()
        print("both connected:", cell.is_connected())
        print("power mode:", control.get_power_mode().name)
        print("state (command):   ", [round(v, 3) for v in control.get_state()["tcp_pose"]])
        print("sample (telemetry):", [round(v, 3) for v in telemetry.get_sample()["tcp_pose"]])
    finally:
        cell.disconnect()  # telemetry first, then the command session
    print("after disconnect:", cell.is_connected())


def main() -> None:
    if len(sys.argv) > 1:
        look(sys.argv[1])
        return
    with ControllerSimulator() as sim:
        assert sim.command_port is not None and sim.telemetry_port is not None
        look(sim.host, sim.command_port, sim.telemetry_port)


if __name__ == "__main__":
    main()
