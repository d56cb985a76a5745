"""What a client may do wrong, while the service records: the recording
loses nothing and every bad request gets its 4xx."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import socket
import subprocess
import time

import pytest

import pelionp
from conftest import Served


def raw_exchange(url: str, data: bytes) -> bytes:
    """Sends bytes as they are; the reply (headers and body) as received."""
    host, port = url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port)), timeout=10) as s:
        try:
            s.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the service answered and closed before reading it all
        out = b""
        while True:
            head, sep, body = out.partition(b"\r\n\r\n")
            if sep:
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    key, _, value = line.partition(b":")
                    if key.strip().lower() == b"content-length":
                        length = int(value)
                if len(body) >= length:
                    return out
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                return out
            if not chunk:
                return out
            out += chunk


def status_line(reply: bytes) -> int:
    return int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/1.1 ") else 0


def rss_kib(pid: int) -> int:
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def test_bad_clients_while_recording_lose_nothing(served: Served):
    client = served.client
    client.start_recording("abused")
    url = served.url
    try:
        # Malformed and oversized requests, each answered with its 4xx.
        cases = [
            (b"NONSENSE\r\n\r\n", 400),
            (b"GET /api/v1/status HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", 400),
            (b"POST /api/v1/recording/start HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n" + b"{" * 2000000, 413),
            (b"POST /api/v1/recording/start HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\n{oops", 400),
            (b"POST /api/v1/recording/start HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n[]", 400),
            (b"GET /api/v1/" + b"a" * 1000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", 414),
            (b"GET /api/v1/nothing HTTP/1.1\r\nHost: x\r\n\r\n", 404),
            (b"GET /api/v1/probes/99999999999/data HTTP/1.1\r\nHost: x\r\n\r\n", 404),
            (b"GET /api/v1/probes/0/data?count=abc HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"GET /api/v1/probes/0/data?start=-5 HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"GET /api/v1/probes/0/data?channels=5-1 HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"GET /api/v1/probes/0/data?frobnicate=1 HTTP/1.1\r\nHost: x\r\n\r\n", 400),
            (b"POST /api/v1/recording/stop HTTP/1.1\r\nHost: x\r\nOrigin: http://evil.example\r\nContent-Length: 0\r\n\r\n", 403),
            (b"POST /api/v1/recording/start HTTP/1.1\r\nHost: x\r\nContent-Length: 25\r\n\r\n{\"run\": \"a\", \"secs\": 1.0}", 400),
        ]
        for request, expected in cases:
            reply = raw_exchange(url, request)
            assert status_line(reply) == expected, (request[:60], reply[:200])
            if expected != 400 or b"application/json" in reply:
                body = reply.split(b"\r\n\r\n", 1)[1]
                assert "error" in json.loads(body), reply[:300]

        # Samples far in the future.
        for start in (10**18, 2**64 - 1):
            with pytest.raises(pelionp.SamplesNotYet):
                client.fetch(1, start=start, count=10)
        with pytest.raises(pelionp.ServiceError) as e:
            client.fetch(1, start=2**64, count=10)
        assert e.value.status == 400

        # Samples far in the past, once the ring has wrapped (a second long):
        # from then on the rings hold all they will, and memory stays flat.
        end = time.monotonic() + 30
        while client.status()["probes"][1]["live"]["ap"]["oldest"] == 0 and time.monotonic() < end:
            time.sleep(0.05)
        for start in (0, 1):
            with pytest.raises(pelionp.SamplesGone) as gone:
                client.fetch(1, start=start, count=10)
            assert gone.value.status == 410 and gone.value.body["oldest"] > start

        # A thousand connections opened and dropped, some mid-request.
        before = rss_kib(served.process.pid)
        host, port = url.removeprefix("http://").split(":")
        for i in range(1000):
            with socket.create_connection((host, int(port)), timeout=10) as s:
                if i % 3 == 1:
                    s.sendall(b"GET /api/v1/status HTTP/1.1\r\nHo")
                elif i % 3 == 2:
                    s.sendall(b"GET /api/v1/status HTTP/1.1\r\nHost: x\r\n\r\n")
        # A client that stops reading mid-response (a second of every channel).
        stalled = socket.create_connection((host, int(port)), timeout=10)
        stalled.sendall(b"GET /api/v1/probes/1/data?count=30000 HTTP/1.1\r\nHost: x\r\n\r\n")
        stalled.recv(100)
        # Meanwhile others are served.
        for _ in range(20):
            assert client.status()["state"] == "recording"
        stalled.close()
        after = rss_kib(served.process.pid)
        assert after - before < 64 * 1024, (before, after)
    finally:
        reply = client.stop_recording()
    assert [p["lost_samples"] for p in reply["probes"]] == [0, 0, 0]
    assert "error" not in reply
    for f in reply["files"]:
        size = pathlib.Path(f["ap"]["bin"]).stat().st_size
        meta = pathlib.Path(f["ap"]["meta"]).read_text()
        assert f"fileSizeBytes={size}\n" in meta


@pytest.fixture(scope="module")
def guarded(tmp_path_factory):
    token = "0123456789abcdef0123"
    s = Served(["--sim", "--require-token", "--token", token], tmp_path_factory.mktemp("guarded"), token=token)
    yield s, token
    assert s.stop() == 0


def test_a_token_is_needed_when_the_service_asks_for_one(guarded):
    served, token = guarded
    assert served.client.status()["state"] == "idle"
    for client, words in [(pelionp.Client(served.url), "A token is needed"),
                          (pelionp.Client(served.url, token="wrong-token-0000000"), "The token is wrong")]:
        for call in (client.status, client.stop_recording, lambda: next(client.events()), lambda: client.fetch(0)):
            with pytest.raises(pelionp.ServiceError) as e:
                call()
            assert e.value.status == 401 and words in e.value.message


def test_ctrl_c_closes_every_file(tmp_path):
    served = Served(["--sim"], tmp_path / "out")
    reply = served.client.start_recording("interrupted")
    deadline = time.monotonic() + 30
    while served.client.status()["probes"][0]["counters"]["delivered"] < 3000 and time.monotonic() < deadline:
        time.sleep(0.05)
    served.client.close()
    served.process.send_signal(signal.SIGINT)
    assert served.process.wait(timeout=30) == 0
    served.log.close()
    for f in reply["files"]:
        for band in ("ap", "lf"):
            if band not in f:
                continue
            size = pathlib.Path(f[band]["bin"]).stat().st_size
            assert size > 0
            assert f"fileSizeBytes={size}\n" in pathlib.Path(f[band]["meta"]).read_text()
