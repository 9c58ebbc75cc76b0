"""Command round trip and state polling against the native responder, side by side.

Three clients put the same bytes on the wire, in interleaved rounds whose order rotates:
  floor   the native blocking socket client (bench_floor_client);
  ours    ``CommandChannel.get_tool()`` / ``get_state()`` of the installed package;
  plain   a plain-Python socket client that sends the request, reads the reply line, checks it
          and converts the payload the way ``get_tool`` does (``get_state``: twelve floats).
Every process of this benchmark (driver, responder, floor client) runs on the same CPU, the
idlest when it starts. Prints one JSON object.
"""

from __future__ import annotations

import json
import socket
import sys
import time

from tools import HOST, Native, pin_to_idlest_cpu, server, summary

from epson_remote import CommandChannel

TOOL_REQUEST = b'$Execute,"Print Tool"\r\n'
STATE_REQUEST = (
    b'$Execute,"Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),'
    b'CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)"\r\n'
)


class PlainClient:
    """What a careful plain-Python client of the same protocol does per call."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection((HOST, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def _reply(self, request: bytes) -> str:
        self.sock.sendall(request)
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("responder closed the connection")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        text = line.rstrip(b"\r").decode()
        if not text.startswith("#Execute"):
            raise RuntimeError(f"unexpected reply {text!r}")
        return text[text.index('"') + 1 : text.rindex('"')]

    def get_tool(self) -> int:
        return int(self._reply(TOOL_REQUEST))

    def get_state(self) -> dict:
        values = [float(v) for v in self._reply(STATE_REQUEST).replace(",", " ").split()]
        if len(values) != 12:
            raise RuntimeError("bad state reply")
        return {"joint_positions": values[:6], "tcp_pose": values[6:]}

    def close(self) -> None:
        self.sock.close()


def timed_calls(call, count: int) -> tuple[list[float], float]:
    """Latencies of ``count`` calls in microseconds, and the batch's wall time in seconds."""
    clock = time.perf_counter_ns
    latencies = []
    start = clock()
    for _ in range(count):
        before = clock()
        call()
        latencies.append((clock() - before) / 1000.0)
    return latencies, (clock() - start) / 1e9


def floor_calls(floor: Native, kind: str, count: int) -> tuple[list[float], float]:
    floor.send(f"{kind} {count}")
    words = floor.readline().split()
    if words[0] != kind:
        raise RuntimeError(f"floor client answered {words[0]!r}")
    return [float(w) for w in words[2:]], float(words[1])


def compare(contestants: dict, rounds: int, count: int) -> dict:
    """Runs every contestant ``count`` calls per round, rotating the order each round. Besides
    the summary of all calls, each contestant's calls/s round by round (``round_per_s``)."""
    latencies = {name: [] for name in contestants}
    round_seconds = {name: [] for name in contestants}
    names = list(contestants)
    for round_index in range(rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            values, elapsed = contestants[name](count)
            latencies[name] += values
            round_seconds[name].append(elapsed)
    return {
        name: summary(latencies[name], sum(round_seconds[name]))
        | {"round_per_s": [round(count / s, 1) for s in round_seconds[name]]}
        for name in names
    }


def main() -> None:
    rounds, count = (int(arg) for arg in sys.argv[1:3]) if len(sys.argv) > 2 else (30, 200)
    cpu = pin_to_idlest_cpu()  # the responder and the floor client inherit it
    with server("bench_responder") as responder:
        floor = Native("bench_floor_client", responder.port)
        channel = CommandChannel()
        channel.connect(HOST, responder.port)
        plain = PlainClient(responder.port)
        try:
            round_trip = {
                "floor": lambda n: floor_calls(floor, "tool", n),
                "ours": lambda n: timed_calls(channel.get_tool, n),
                "plain_python": lambda n: timed_calls(plain.get_tool, n),
            }
            state = {
                "floor": lambda n: floor_calls(floor, "state", n),
                "ours": lambda n: timed_calls(channel.get_state, n),
                "plain_python": lambda n: timed_calls(plain.get_state, n),
            }
            compare(round_trip, 1, count // 2)  # warm-up: caches, branch predictors, CPU clock
            result = {
                "roundtrip": compare(round_trip, rounds, count),
                "state": compare(state, rounds, count),
                "cpu": cpu,
            }
        finally:
            plain.close()
            channel.disconnect()
            floor.close()
    print("BENCH-RESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
