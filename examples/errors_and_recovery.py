"""What failures look like, and how to recover: an emergency stop, a refused motion, a reset.

    python examples/errors_and_recovery.py      # against a simulator of its own

Controller, connection and time-out failures are ``RuntimeError`` with the controller's code in
the message; bad arguments are ``ValueError``; Tool numbers out of range ``IndexError``.
"""

from __future__ import annotations

from epson_remote import CommandChannel
from epson_remote.sim import ControllerSimulator


def main() -> None:
    with ControllerSimulator() as sim:
        assert sim.command_port is not None
        channel = CommandChannel()
        try:
            channel.connect(sim.host, 1)  # nothing listens on port 1
        except RuntimeError as error:
            print("connect:", error)

        channel.connect(sim.host, sim.command_port)
        try:
            sim.emergency_stop()  # the simulator's E-stop button
            print("emergency stopped:", channel.is_emergency_stopped())
            try:
                channel.motor_on()
            except RuntimeError as error:
                print("motor_on:", error)
                print("motor_on_error():", channel.motor_on_error())
            sim.release_emergency_stop()
            channel.reset_controller()  # clears the error once the E-stop is released
            status = channel.get_controller_status()
            print("after reset: system_error =", status["system_error"])
            try:
                channel.go("P1", False, False, None, None, None, False)  # motors are off
            except RuntimeError as error:
                print("go:", error)
            try:
                channel.add_safety_cuboid([0.0, 0.0], [1.0, 1.0, 1.0])
            except ValueError as error:
                print("add_safety_cuboid:", error)
        finally:
            channel.disconnect()


if __name__ == "__main__":
    main()
