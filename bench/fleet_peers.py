"""The fleet benchmark's baselines, each run as a process of its own by bench/fleet_bench.py, so
that its CPU time is its own. Both run until their standard input closes.

    fleet_peers.py bare BROKER_PORT CELLS RATE_HZ CHANGE_PERIOD_S
        A bare publisher: one paho client sending what the bridge sends for CELLS cells (the
        telemetry at RATE_HZ, QoS 0; a state change per cell every CHANGE_PERIOD_S, QoS 1,
        retained), built from values in memory, under the prefix bare/. No telemetry is read.

    fleet_peers.py readers PORT [PORT ...]
        The reading floor: one EthernetReceiveInterface per port, connected and left alone.
        Prints "connected" once all are.
"""

from __future__ import annotations

import json
import math
import sys
import threading
import time


def _wait_for_end_of_input() -> None:
    sys.stdin.read()


def bare(port: int, cells: int, rate_hz: float, change_period_s: float) -> None:
    import paho.mqtt.client as mqtt

    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id="bench-bare-publisher")
    connected = threading.Event()
    client.on_connect = lambda *args: connected.set()
    client.connect("127.0.0.1", port)
    client.loop_start()
    connected.wait(10)
    names = [f"cell{n}" for n in range(1, cells + 1)]
    heads = [f'{{"cell":{json.dumps(n)},"bridge":"bare","timestamp":' for n in names]
    # The bridge's payloads carry the writer's numbers: the same digits here, the same size.
    joints = "2750416894.892,12345.0,20.375,-0.25,75.5,-90.125"
    pose = "412.518,-20.003,610.25,90.125,0.5,179.875"
    stopped = [False] * cells
    done = threading.Event()

    def publish() -> None:
        period = 1.0 / rate_hz
        next_tick = time.monotonic()
        sequence = 0
        while not done.is_set():
            now = time.monotonic()
            if now < next_tick:
                done.wait(next_tick - now)
                continue
            next_tick += period
            if next_tick < now:
                next_tick = now + period
            sequence += 1
            wall = time.time()
            for index, name in enumerate(names):
                payload = (
                    f'{heads[index]}{wall:.6f},"sequence":{sequence},'
                    f'"joints":[{joints}],"pose":[{pose}]}}'
                ).encode()
                client.publish(f"bare/{name}/telemetry", payload, qos=0)
                phase = index * change_period_s / cells
                flips = math.floor((wall + phase) / change_period_s)
                if flips % 2 != stopped[index]:
                    stopped[index] = bool(flips % 2)
                    state = {
                        "cell": name,
                        "bridge": "bare",
                        "timestamp": round(wall, 6),
                        "emergency_stopped": stopped[index],
                        "safeguard_open": False,
                        "teach_mode": False,
                        "error_code": 0,
                        "motors_on": False,
                        "power_high": False,
                    }
                    client.publish(
                        f"bare/{name}/state", json.dumps(state).encode(), qos=1, retain=True
                    )

    thread = threading.Thread(target=publish, daemon=True)
    thread.start()
    print("publishing", flush=True)
    _wait_for_end_of_input()
    done.set()
    thread.join(5)
    client.disconnect()
    client.loop_stop()


def readers(ports: list[int]) -> None:
    from epson_remote import EthernetReceiveInterface

    interfaces = [EthernetReceiveInterface() for _ in ports]
    for rx, port in zip(interfaces, ports, strict=True):
        rx.connect("127.0.0.1", port)
    print("connected", flush=True)
    _wait_for_end_of_input()
    for rx in interfaces:
        rx.disconnect()


def main() -> None:
    mode, *rest = sys.argv[1:]
    if mode == "bare":
        bare(int(rest[0]), int(rest[1]), float(rest[2]), float(rest[3]))
    elif mode == "readers":
        readers([int(port) for port in rest])
    else:
        raise SystemExit(f"unknown mode {mode!r}")


if __name__ == "__main__":
    main()
