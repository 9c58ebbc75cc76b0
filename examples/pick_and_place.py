"""A small pick-and-place cycle: move over the part, close the gripper and wait for its sensor,
carry the part, open, and count the parts in a variable a SPEL+ program shares.

The gripper is output 8 and its sensor input 8; the simulator wires one to the other with a
delay, as a real gripper takes a moment to close. A SPEL+ program (function 1, registered with the
simulator here; on a real controller it is part of the project) blinks a lamp on output 9 while
the cell runs.

    python examples/pick_and_place.py     # against a simulator of its own (it moves)
"""

from __future__ import annotations

from epson_remote import CommandChannel, xy
from epson_remote.sim import ControllerSimulator

GRIPPER = 8
GRIPPER_CLOSED = 8  # the sensor input
LAMP_PROGRAM = 1


def grip(channel: CommandChannel, close: bool) -> None:
    channel.set_output_bit(GRIPPER, close)
    if not channel.wait_for_input(GRIPPER_CLOSED, close, 2.0):
        raise RuntimeError(f"the gripper did not {'close' if close else 'open'} within 2 s")


def carry(channel: CommandChannel, pick: list[float], place: list[float]) -> None:
    above = 50.0  # approach and leave from above
    for pose, close in ((pick, True), (place, False)):
        over = [pose[0], pose[1], pose[2] + above, *pose[3:]]
        channel.go(xy(over), False, False, None, None, None, False)
        channel.move(xy(pose), False, False, False, None, None, False, 100.0)
        grip(channel, close)
        channel.move(xy(over), False, False, False, None, None, False, 100.0)


def run(channel: CommandChannel) -> None:
    channel.motor_on()  # only ever explicit; disconnect() turns the motors off again
    channel.start_program(LAMP_PROGRAM)
    print("lamp program running:", channel.get_remote_status()["running"])
    home = channel.get_state()["tcp_pose"]
    pick = [home[0], home[1] + 120.0, home[2] - 150.0, *home[3:]]
    place = [home[0], home[1] - 120.0, home[2] - 150.0, *home[3:]]
    channel.set_variable("g_parts", 0, "Integer")
    for _ in range(2):
        carry(channel, pick, place)
        count = channel.get_variable("g_parts", "Integer")
        assert isinstance(count, int)  # an Integer variable reads as an int
        channel.set_variable("g_parts", count + 1, "Integer")
    channel.go(xy(home), False, False, None, None, None, False)
    channel.stop_programs()
    print("parts placed:", channel.get_variable("g_parts", "Integer"))
    print("gripper open:", not channel.get_input_bit(GRIPPER_CLOSED))


def main() -> None:
    with ControllerSimulator(time_scale=4.0) as sim:
        assert sim.command_port is not None
        sim.wire_output_to_input(GRIPPER, GRIPPER_CLOSED, delay_s=0.1)
        sim.define_variable("g_parts", "Integer", 0)
        sim.register_program(LAMP_PROGRAM, ["On 9", "Wait 0.2", "Off 9", "Wait 0.2"], loop=True)
        channel = CommandChannel()
        channel.connect(sim.host, sim.command_port)
        try:
            run(channel)
        finally:
            channel.disconnect()
        print("motors on after disconnect:", sim.robot_state()["motors_on"])


if __name__ == "__main__":
    main()
