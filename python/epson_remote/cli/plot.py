"""``epson-remote plot``: joint and Cartesian trajectories of a recorded CSV file as a PNG."""

from __future__ import annotations

import argparse
from pathlib import Path

from ._connection import add_command
from ._output import EXIT_USAGE, CliError, make_console
from ._telemetry import JOINT_COLUMNS, POSE_COLUMNS, Trajectory, read_csv

INSTALL_HINT = "Install the plot extra: pip install 'epson-remote[plot]'"


def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = add_command(
        subparsers,
        "plot",
        help="draw a recorded trajectory (CSV) as a PNG",
        description="Draw the joint angles, the TCP position and orientation over time, and the "
        "path seen from above, from a CSV file written by `monitor --record` or `demo`. "
        "Needs matplotlib: pip install 'epson-remote[plot]'.",
        examples=["epson-remote plot demo-output/trajectory.csv -o trajectory.png"],
    )
    parser.add_argument("csv", type=Path, metavar="FILE.csv", help="recorded trajectory")
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="FILE.png",
        help="image to write (default: the CSV file's name with .png)",
    )
    parser.add_argument("--title", help="title above the plots (default: the file name)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    source: Path = args.csv
    output: Path = args.output or source.with_suffix(".png")
    if not source.is_file():
        raise CliError(f"{source}: no such file", EXIT_USAGE)
    try:
        trajectory = read_csv(source)
    except ValueError as error:
        raise CliError(str(error), EXIT_USAGE) from None
    plot_trajectory(trajectory, output, title=args.title or source.name)
    make_console().print(f"Wrote {output} ({len(trajectory.time_s)} samples)")
    return 0


def matplotlib_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def plot_trajectory(trajectory: Trajectory, output: Path, *, title: str) -> None:
    """Four panels: joints, TCP position, TCP orientation over time; the XY path from above."""
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only: no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("matplotlib is not installed", hint=INSTALL_HINT) from None

    t = trajectory.time_s
    figure, axes = plt.subplots(2, 2, figsize=(13, 8.5), layout="constrained")
    joints_ax, path_ax = axes[0][0], axes[0][1]
    position_ax, orientation_ax = axes[1][0], axes[1][1]
    for name, values in zip(JOINT_COLUMNS, trajectory.joints, strict=True):
        joints_ax.plot(t, values, label=name.split("_")[0], linewidth=1.4)
    joints_ax.set(title="Joint angles", xlabel="time [s]", ylabel="angle [deg]")
    for name, values in zip(POSE_COLUMNS[:3], trajectory.pose[:3], strict=True):
        position_ax.plot(t, values, label=name.split("_")[0], linewidth=1.4)
    position_ax.set(title="TCP position", xlabel="time [s]", ylabel="position [mm]")
    # U and W often sit on the same value (180 degrees): styles keep both visible.
    styles = ("-", "--", ":")
    for name, values, style in zip(POSE_COLUMNS[3:], trajectory.pose[3:], styles, strict=True):
        orientation_ax.plot(t, values, style, label=name.split("_")[0], linewidth=1.6)
    orientation_ax.set(title="TCP orientation", xlabel="time [s]", ylabel="angle [deg]")

    x, y = trajectory.pose[0], trajectory.pose[1]
    path = path_ax.scatter(x, y, c=t, cmap="viridis", s=4)
    path_ax.plot(x[:1], y[:1], "o", ms=11, fillstyle="none", color="tab:green", label="start")
    path_ax.plot(x[-1:], y[-1:], "x", markersize=9, color="tab:red", label="end")
    path_ax.set(title="TCP path seen from above", xlabel="X [mm]", ylabel="Y [mm]")
    path_ax.set_aspect("equal", adjustable="datalim")
    figure.colorbar(path, ax=path_ax, label="time [s]")

    for ax in (joints_ax, position_ax, orientation_ax):
        for when, _ in trajectory.events:
            ax.axvline(when, color="0.55", linestyle="--", linewidth=0.8)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="best", fontsize="small", ncols=2)
    # Labels of events close together are staggered so that they do not overprint.
    span = max(t[-1] - t[0], 1e-9)
    previous = -1.0
    height = 1.0
    for when, label in trajectory.events:
        height = 0.62 if (when - previous) / span < 0.03 and height == 1.0 else 1.0
        previous = when
        joints_ax.annotate(
            label,
            xy=(when, height),
            xycoords=("data", "axes fraction"),
            xytext=(2, -2),
            textcoords="offset points",
            rotation=90,
            va="top",
            fontsize="x-small",
            color="0.3",
        )
    path_ax.grid(True, alpha=0.3)
    path_ax.legend(loc="best", fontsize="small")
    duration = t[-1] - t[0]
    figure.suptitle(f"{title}: {len(t)} samples over {duration:.1f} s")
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=110)
    plt.close(figure)
