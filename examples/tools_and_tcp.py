"""Native Tool slots and the TCP override in the host's units, restored on disconnect.

    python examples/tools_and_tcp.py        # against a simulator of its own

Tool poses are native: millimetres and [U, V, W] degrees. The TCP override takes
[x, y, z, rx, ry, rz] in metres and Euler-XYZ degrees; ``restore_tcp_offset()`` or
``disconnect()`` puts back the Tool selection and slot it replaced.
"""

from __future__ import annotations

from epson_remote import CommandChannel, xy
from epson_remote.sim import ControllerSimulator


def run(channel: CommandChannel) -> None:
    channel.tl_set(2, xy([0, 0, 120, 0, 0, 0]))  # "XY(0, 0, 120, 0, 0, 0)"
    print("Tool 2 defined:", channel.is_tool_defined(2), channel.get_tool_definition(2))
    channel.set_tool(2)
    print("selected Tool:", channel.get_tool(), "TCP [m, deg]:", channel.get_tcp_offset())

    channel.set_tcp_offset([0.01, 0.0, 0.15, 0.0, 0.0, 90.0])
    print("override: Tool", channel.get_tool(), "TCP [m, deg]:", channel.get_tcp_offset())
    channel.restore_tcp_offset()
    print("restored: Tool", channel.get_tool())

    channel.set_tool(0)
    channel.tl_clear(2)
    print("Tool 2 defined:", channel.is_tool_defined(2))
    try:
        channel.set_tool(16)
    except IndexError as error:  # a Tool number out of range
        print("IndexError:", error)


def main() -> None:
    with ControllerSimulator() as sim:
        assert sim.command_port is not None
        channel = CommandChannel()
        channel.connect(sim.host, sim.command_port)
        try:
            run(channel)
        finally:
            channel.disconnect()


if __name__ == "__main__":
    main()
