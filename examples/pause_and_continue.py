"""A straight-line move run on one thread, paused and continued from another.

``move`` blocks until the motion has finished, with the interpreter lock released, so other
threads go on. ``pause`` and ``continue_motion`` are delivered while the motion holds the
session; other calls wait for it, and ``get_state`` refuses at once.

    python examples/pause_and_continue.py     # against a simulator of its own (it moves)
"""

from __future__ import annotations

import threading
import time

from epson_remote import CommandChannel, EpsonPowerMode, xy
from epson_remote.sim import ControllerSimulator


def run(channel: CommandChannel) -> None:
    channel.set_power_mode(EpsonPowerMode.HIGH)
    channel.motor_on()  # only ever explicit; disconnect() turns the motors off again
    start = channel.get_state()["tcp_pose"]
    target = [start[0], start[1] - 200.0, start[2] - 100.0, *start[3:]]

    failure: list[BaseException] = []

    def mover() -> None:
        try:
            # destination, rot, ecp, cp, search, parallel, sync, speed mm/s, accel mm/s²
            channel.move(xy(target), False, False, False, None, None, False, 100.0, 1000.0)
        except RuntimeError as error:
            failure.append(error)

    thread = threading.Thread(target=mover)
    thread.start()
    time.sleep(0.5)  # let it get going
    channel.pause()
    try:
        channel.get_state()
    except RuntimeError as error:
        print("get_state during the motion:", error)
    print("paused; waiting a second")
    time.sleep(1.0)
    channel.continue_motion()
    thread.join()
    if failure:
        raise failure[0]
    end = channel.get_state()["tcp_pose"]
    print("arrived at", [round(value, 1) for value in end[:3]], "mm")


def main() -> None:
    with ControllerSimulator() as sim:
        assert sim.command_port is not None
        channel = CommandChannel()
        channel.connect(sim.host, sim.command_port)
        try:
            run(channel)
        finally:
            channel.disconnect()
        print("motors on after disconnect:", sim.robot_state()["motors_on"])


if __name__ == "__main__":
    main()
