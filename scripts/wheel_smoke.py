"""Smoke test of an installed epson-remote, as a user gets it from a wheel: run by scripts/wheel
in a fresh venv without a compiler, and by cibuildwheel as its test command.

It imports the package from the environment it runs in (never from a source tree), checks the
metadata the package index shows, drives a simulated controller through a robot cell (connect,
a `go`, telemetry of the arrival, disconnect), and runs the console script: `telemetry-task`
and the whole `demo`. Exits non-zero with a message on the first failure.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import time
from importlib import metadata
from pathlib import Path

# Markdown links and images whose target is neither a web address nor an anchor: they would be
# broken on the package index, which shows the description without the repository beside it.
RELATIVE_LINK = re.compile(r"!?\[[^\]]*\]\((?!https?://|mailto:|#)([^)\s]+)")
CLASSIFIERS = {
    "Programming Language :: Python :: 3.12",
    "Operating System :: POSIX :: Linux",
    "Programming Language :: C++",
    "Intended Audience :: Manufacturing",
    "Typing :: Typed",
}


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"wheel smoke test: FAILED: {what}")


def check_installed_copy() -> None:
    import epson_remote

    site = Path(sysconfig.get_paths()["purelib"]).resolve()
    location = Path(epson_remote.__file__).resolve()
    check(location.is_relative_to(site), f"epson_remote imported from {location}, not {site}")
    check(
        epson_remote.__version__ == metadata.version("epson-remote"),
        f"__version__ {epson_remote.__version__} differs from the metadata's "
        f"{metadata.version('epson-remote')}",
    )
    for module in ("_command_channel", "_receive_interface", "_robot_cell"):
        check(
            any(site.glob(f"epson_remote/{module}.cpython-312-*.so")), f"{module} is not installed"
        )
    print(f"installed: epson-remote {epson_remote.__version__} in {site}")


def check_metadata() -> None:
    meta = metadata.metadata("epson-remote")
    check(meta["License-Expression"] == "Apache-2.0", f"license {meta['License-Expression']!r}")
    missing = CLASSIFIERS - set(meta.get_all("Classifier") or [])
    check(not missing, f"classifiers missing: {sorted(missing)}")
    check(bool(meta["Keywords"]), "no keywords")
    check(meta["Author"] == "epson_remote developers", f"author {meta['Author']!r}")
    description = str(meta.json.get("description", ""))
    check(len(description) > 500, "no long description")
    links = RELATIVE_LINK.findall(description)
    check(not links, f"the long description links to repository paths: {links}")
    files = [str(path) for path in metadata.files("epson-remote") or []]
    check(any(path.endswith("licenses/LICENSE") for path in files), "LICENSE not in the wheel")
    print("metadata: license, classifiers, keywords, author, description without repo links")


def check_robot_cell() -> None:
    from epson_remote import RobotCell, xy
    from epson_remote.sim import ControllerSimulator

    with ControllerSimulator() as sim:
        assert sim.command_port is not None and sim.telemetry_port is not None
        cell = RobotCell(sim.host, sim.command_port, sim.telemetry_port)
        try:
            # The control interface is the other module's CommandChannel type, built by this
            # module's copy of the core: the wheel's statically linked runtimes must agree.
            control = cell.get_control_interface()
            telemetry = cell.get_receive_interface()
            check(cell.is_connected(), "the cell did not connect")
            control.motor_on()
            target = control.get_state()["tcp_pose"]
            target[2] -= 20.0
            control.go(xy(target), False, False, None, None, None, False)
            deadline = time.monotonic() + 5.0
            while time.monotonic() < deadline:
                sample = telemetry.get_sample()
                if sample["valid"] and abs(sample["tcp_pose"][2] - target[2]) < 0.01:
                    break
                time.sleep(0.02)
            else:
                check(False, f"telemetry never showed Z {target[2]:.3f}: {sample['tcp_pose']}")
        finally:
            cell.disconnect()
        check(not cell.is_connected(), "the cell is still connected after disconnect")
        check(not sim.robot_state()["motors_on"], "the motors stayed on after disconnect")
    print("robot cell: connect, motors on, go 20 mm down, telemetry saw it, disconnect")


def console_script() -> str:
    script = Path(sysconfig.get_paths()["scripts"]) / "epson-remote"
    check(script.is_file(), f"no console script at {script}")
    return str(script)


def check_telemetry_task(script: str) -> None:
    from epson_remote.cli.telemetry_task import shipped_program

    done = subprocess.run([script, "telemetry-task"], capture_output=True, text=True, timeout=60)
    check(done.returncode == 0, f"telemetry-task failed: {done.stderr}")
    check(done.stdout == shipped_program(), "telemetry-task printed another text than shipped")
    check("Function TelemetryTask" in done.stdout, "telemetry-task printed no SPEL+ program")
    print("telemetry-task: prints the packaged Background Task")


def check_demo(script: str) -> None:
    with tempfile.TemporaryDirectory(prefix="epson-demo-") as work:
        environment = dict(os.environ, COLUMNS="160")
        started = time.monotonic()
        done = subprocess.run(
            [script, "demo"], capture_output=True, text=True, timeout=300, cwd=work, env=environment
        )
        took = time.monotonic() - started
        check(done.returncode == 0, f"demo failed ({done.returncode}):\n{done.stdout}{done.stderr}")
        check((Path(work) / "demo-output" / "trajectory.csv").is_file(), "demo wrote no CSV")
    print(f"demo: every step passed in {took:.0f} s")


def main() -> None:
    # A source tree on the path would hide what the wheel installed.
    sys.path[:] = [entry for entry in sys.path if entry and Path(entry).resolve() != Path.cwd()]
    check_installed_copy()
    check_metadata()
    check_robot_cell()
    script = console_script()
    check_telemetry_task(script)
    check_demo(script)
    print("wheel smoke test: passed")


if __name__ == "__main__":
    main()
