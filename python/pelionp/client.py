"""The HTTP client of the pelionp acquisition service.

Every call maps onto one request of the service's API (``/api/v1/...``);
a refusal raises :class:`ServiceError` carrying the service's message.
"""

from __future__ import annotations

import http.client
import json
import threading
import urllib.parse
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence

import numpy as np

__all__ = ["Block", "Client", "SamplesGone", "SamplesNotYet", "ServiceError"]


class ServiceError(Exception):
    """A request the service refused (4xx) or failed (5xx).

    ``status`` is the HTTP status, ``message`` the service's own words and
    ``body`` the whole JSON reply.
    """

    def __init__(self, status: int, message: str, body: Optional[dict] = None) -> None:
        super().__init__(f"HTTP {status}: {message}")
        self.status = status
        self.message = message
        self.body = body or {}


class SamplesGone(ServiceError):
    """The asked-for samples have already left the service's ring (410).

    ``body["oldest"]`` is the oldest sample index still kept.
    """


class SamplesNotYet(ServiceError):
    """The asked-for samples are later than the newest one (416).

    ``body["next"]`` is the index the next sample will have. A stream that
    began anew (a recording started) numbers its samples from 0 again.
    """


@dataclass
class Block:
    """Consecutive samples of one probe's band.

    ``data`` has shape (samples, channels): microvolts (float32) unless
    read raw (int16). Sample ``k`` of the block has stream index
    ``first_index + k * decimation`` and device timestamp
    ``first_timestamp + k * decimation * ticks`` (AP: 1 tick, NP1 LF: 12).
    Read with ``minmax``, ``data`` has shape (bins, 2, channels): per bin
    of ``decimation`` samples from that index, the minimum and the maximum.
    """

    data: np.ndarray
    first_index: int
    next_index: int
    first_timestamp: int
    channels: List[int]
    scale_uv: np.ndarray
    sample_rate: float
    decimation: int

    def __array__(self, dtype=None):
        return self.data if dtype is None else self.data.astype(dtype)

    def __len__(self) -> int:
        return self.data.shape[0]


class Client:
    """A connection to one ``pelionp serve``.

    ``url``: the service's address, e.g. ``"http://127.0.0.1:8765"``.
    ``token``: sent as ``Authorization: Bearer`` (needed when the service
    listens beyond loopback). ``timeout``: seconds per request.

    A client may be shared between threads: requests take turns on one
    kept-alive connection (``events`` opens its own).
    """

    def __init__(self, url: str, token: Optional[str] = None, timeout: float = 10.0) -> None:
        parts = urllib.parse.urlsplit(url if "//" in url else "http://" + url)
        if parts.scheme != "http":
            raise ValueError(f"{url}: only http:// is served")
        if not parts.hostname:
            raise ValueError(f"{url}: no host")
        self._host = parts.hostname
        self._port = parts.port or 80
        self._token = token
        self._timeout = timeout
        self._lock = threading.Lock()
        self._connection: Optional[http.client.HTTPConnection] = None

    # -- plumbing --------------------------------------------------------

    def _headers(self) -> Dict[str, str]:
        h = {"Accept": "application/json"}
        if self._token:
            h["Authorization"] = f"Bearer {self._token}"
        return h

    def _request(self, method: str, path: str, body: Optional[dict] = None,
                 query: Optional[Dict[str, Any]] = None, timeout: Optional[float] = None):
        target = "/api/v1" + path
        if query:
            target += "?" + urllib.parse.urlencode({k: v for k, v in query.items() if v is not None})
        payload = b"" if body is None else json.dumps(body).encode()
        headers = self._headers()
        if method == "POST":
            headers["Content-Type"] = "application/json"
        with self._lock:
            for attempt in (0, 1):
                if self._connection is None:
                    self._connection = http.client.HTTPConnection(self._host, self._port, timeout=timeout or self._timeout)
                try:
                    if timeout is not None:
                        self._connection.timeout = timeout
                        if self._connection.sock is not None:
                            self._connection.sock.settimeout(timeout)
                    self._connection.request(method, target, body=payload if method == "POST" else None, headers=headers)
                    response = self._connection.getresponse()
                    data = response.read()
                    if response.getheader("Connection", "").lower() == "close":
                        self._connection.close()
                        self._connection = None
                    return response.status, response, data
                except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError):
                    # A kept-alive connection the service closed meanwhile: once more on a new one.
                    self._connection.close()
                    self._connection = None
                    if attempt == 1:
                        raise
                except Exception:
                    self._connection.close()
                    self._connection = None
                    raise
        raise AssertionError("unreachable")

    @staticmethod
    def _raise(status: int, data: bytes) -> None:
        try:
            body = json.loads(data.decode() or "{}")
        except ValueError:
            body = {"error": data.decode(errors="replace")}
        message = body.get("error", f"HTTP {status}")
        cls = {410: SamplesGone, 416: SamplesNotYet}.get(status, ServiceError)
        raise cls(status, message, body)

    def _json(self, method: str, path: str, body: Optional[dict] = None) -> dict:
        status, _, data = self._request(method, path, body if body is not None or method != "POST" else {})
        if status >= 400:
            self._raise(status, data)
        return json.loads(data.decode())

    def close(self) -> None:
        """Closes the kept-alive connection (a later call opens another)."""
        with self._lock:
            if self._connection is not None:
                self._connection.close()
                self._connection = None

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- control ---------------------------------------------------------

    def status(self) -> dict:
        """The service's state and board: ``"state"`` ("idle", "streaming",
        "recording"), ``"board"``, ``"ports"``, ``"disk"`` and ``"probes"``,
        each probe with ``"index"``, ``"kind"``, ``"serial"``,
        ``"part_number"``, ``"place"``, ``"enabled"``, ``"configuration"``,
        ``"counters"`` (delivered, lost by cause) and ``"queue"``."""
        return self._json("GET", "/status")

    def geometry(self, probe: int) -> dict:
        """Where each channel of a probe records: shank, x and z in µm (as
        the recording's ``~snsGeomMap``), and the shanks' outline figures."""
        return self._json("GET", f"/probes/{int(probe)}/geometry")

    def configure(self, probe: int, imro: Optional[str] = None, reference: Optional[str] = None,
                  ap_gain: Optional[int] = None, lf_gain: Optional[int] = None,
                  calibration: Optional[str] = None) -> dict:
        """Configures a probe for the next stream or recording.

        ``imro``: an IMRO table's text; ``reference``: "external", "tip",
        "internal" (NP1) or "on_shank" (NP2) for every channel; ``ap_gain``,
        ``lf_gain``: NP1 gains (50, 125, 250, 500, 1000, 1500, 2000, 3000);
        ``calibration``: a folder holding ``<serial>/`` calibration files.
        Refused (409) while recording."""
        body = {k: v for k, v in dict(imro=imro, reference=reference, ap_gain=ap_gain, lf_gain=lf_gain,
                                      calibration=calibration).items() if v is not None}
        return self._json("POST", f"/probes/{int(probe)}/configure", body)

    def start_streaming(self) -> dict:
        """Streams every probe into the live rings without writing files."""
        return self._json("POST", "/streaming/start")

    def stop_streaming(self) -> dict:
        """Stops streaming (back to idle)."""
        return self._json("POST", "/streaming/stop")

    def start_recording(self, run: str, folder: Optional[str] = None, seconds: Optional[float] = None,
                        probes: Optional[Sequence[int]] = None, notes: Optional[str] = None) -> dict:
        """Starts a recording named ``run`` into ``folder`` (default: the
        service's ``--out``), for ``seconds`` or until
        :meth:`stop_recording`. Returns ``"folder"`` and ``"files"`` (per
        probe its ``.bin`` and ``.meta`` paths)."""
        body: Dict[str, Any] = {"run": run}
        if folder is not None:
            body["folder"] = str(folder)
        if seconds is not None:
            body["seconds"] = float(seconds)
        if probes is not None:
            body["probes"] = [int(p) for p in probes]
        if notes is not None:
            body["notes"] = notes
        return self._json("POST", "/recording/start", body)

    def stop_recording(self) -> dict:
        """Stops the recording, closing every file; returns the files and
        what each probe wrote (samples, lost samples, bytes)."""
        return self._json("POST", "/recording/stop")

    def shutdown(self) -> dict:
        """Asks the service to stop (closing every file) and exit."""
        return self._json("POST", "/shutdown")

    # -- events ----------------------------------------------------------

    def events(self, last_event_id: Optional[int] = None, timeout: float = 60.0) -> Iterator[dict]:
        """The service's events as they come (server-sent events): dicts
        with ``"type"`` ("hello", "state", "recording", "configured",
        "warning", "error"), ``"id"`` and the event's fields. The first is
        "hello" with the current state. Ends when the service stops."""
        connection = http.client.HTTPConnection(self._host, self._port, timeout=timeout)
        headers = self._headers()
        headers["Accept"] = "text/event-stream"
        if last_event_id is not None:
            headers["Last-Event-ID"] = str(last_event_id)
        try:
            connection.request("GET", "/api/v1/events", headers=headers)
            response = connection.getresponse()
            if response.status >= 400:
                self._raise(response.status, response.read())
            event: Dict[str, Any] = {}
            data: List[str] = []
            while True:
                line = response.readline()
                if not line:
                    return
                text = line.decode().rstrip("\r\n")
                if not text:
                    if data:
                        item = json.loads("\n".join(data))
                        item.setdefault("type", event.get("event", "message"))
                        if "id" in event:
                            item["id"] = int(event["id"])
                        yield item
                    event, data = {}, []
                elif text.startswith(":"):
                    continue
                else:
                    key, _, value = text.partition(":")
                    value = value[1:] if value.startswith(" ") else value
                    if key == "data":
                        data.append(value)
                    else:
                        event[key] = value
        finally:
            connection.close()

    # -- live data -------------------------------------------------------

    def fetch_block(self, probe: int, band: str = "ap", start: Optional[int] = None, count: int = 30000,
                    channels: Optional[Sequence[int]] = None, raw: bool = False, decimate: int = 1,
                    wait: float = 0.0, minmax: bool = False, or_latest: bool = False) -> Block:
        """Like :meth:`fetch`, with the block's indexes, timestamps and
        scale. ``wait``: seconds to wait (at most 2) for ``count`` samples
        from ``start`` to arrive; fewer come back if they do not.
        ``minmax``: ``count`` whole bins of ``decimate`` samples, each as
        its minimum and maximum (a spike shorter than a bin stays), instead
        of every ``decimate``-th sample. ``or_latest``: when ``start`` has
        left the ring or is not there yet, the latest ``count`` instead of
        :class:`SamplesGone` or :class:`SamplesNotYet` (``first_index``
        says where the block begins)."""
        query: Dict[str, Any] = {"band": band, "count": int(count)}
        if start is not None:
            query["start"] = int(start)
        if channels is not None:
            query["channels"] = ",".join(str(int(c)) for c in channels)
        if decimate != 1:
            query["decimate"] = int(decimate)
        if minmax:
            query["reduce"] = "minmax"
        if or_latest:
            query["fallback"] = "latest"
        if wait > 0:
            query["wait_ms"] = int(min(wait, 2.0) * 1000)
        status, response, data = self._request("GET", f"/probes/{int(probe)}/data", query=query,
                                               timeout=self._timeout + wait)
        if status >= 400:
            self._raise(status, data)
        chans = [int(c) for c in response.getheader("X-Channels", "").split(",") if c]
        rows = int(response.getheader("X-Count", "0"))
        shape = (rows, 2, len(chans)) if response.getheader("X-Reduce") == "minmax" else (rows, len(chans))
        samples = np.frombuffer(data, dtype="<i2").reshape(shape)
        scale = np.array([float(s) for s in response.getheader("X-Scale-Uv", "1").split(",")], dtype=np.float32)
        if scale.size == 1 and len(chans) != 1:
            scale = np.full(len(chans), scale[0], dtype=np.float32)
        values = samples.copy() if raw else samples.astype(np.float32) * scale
        return Block(data=values, first_index=int(response.getheader("X-First-Index", "0")),
                     next_index=int(response.getheader("X-Next-Index", "0")),
                     first_timestamp=int(response.getheader("X-First-Timestamp", "0")), channels=chans,
                     scale_uv=scale, sample_rate=float(response.getheader("X-Sample-Rate", "0")),
                     decimation=int(response.getheader("X-Decimation", "1")))

    def fetch(self, probe: int, band: str = "ap", start: Optional[int] = None, count: int = 30000,
              channels: Optional[List[int]] = None, raw: bool = False) -> np.ndarray:
        """Samples of a probe's band (``"ap"`` or, on NP1, ``"lf"``) as an
        array of shape (samples, channels): microvolts (float32) unless
        ``raw`` (int16 as recorded). ``start``: the stream index of the
        first sample (in a recording, its index in the file); None: the
        latest ``count`` samples. Raises :class:`SamplesGone` when they have
        left the ring and :class:`SamplesNotYet` when they are later than
        the newest; fewer than ``count`` come back when the newest is
        reached."""
        return self.fetch_block(probe, band, start, count, channels, raw).data

    def latest(self, probe: int, band: str = "ap", channels: Optional[List[int]] = None, block: int = 3000,
               raw: bool = False, decimate: int = 1, on_gap: str = "raise") -> Iterator[Block]:
        """Consecutive blocks of up to ``block`` samples from now on, each
        beginning where the previous one ended. A client too slow for the
        ring gets :class:`SamplesGone` (``on_gap="raise"``) or resumes at
        the oldest sample kept (``on_gap="skip"``). When the stream begins
        anew (a recording started), the blocks continue from its start."""
        if on_gap not in ("raise", "skip"):
            raise ValueError("on_gap must be 'raise' or 'skip'")
        head = self.fetch_block(probe, band, None, 1, channels, raw, decimate)
        following = head.next_index
        while True:
            try:
                b = self.fetch_block(probe, band, following, block, channels, raw, decimate, wait=1.0)
            except SamplesGone as e:
                if on_gap == "raise":
                    raise
                following = int(e.body.get("oldest", following))
                continue
            except SamplesNotYet as e:
                following = int(e.body.get("oldest", 0))
                continue
            if len(b):
                following = b.next_index
                yield b
