"""Pythonic wrappers over the C interface's handles; each is a context manager."""

from __future__ import annotations

import ctypes
import ipaddress
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, Tuple, Union

from ._native import (CAMERA_CALLBACK, DATA_CALLBACK, MDNS_CAMERA_CALLBACK, PROGRESS_CALLBACK,
                      SCAN_CALLBACK, lib)
from .errors import OBJECT_NOT_FOUND, check

Address = Union[str, int, ipaddress.IPv4Address]

METHOD_BROADCAST = 0x1
METHOD_MDNS = 0x2
APPEARED, CHANGED, GONE = 0, 1, 2


def to_host_order(address: Address) -> int:
    """An IPv4 address as the library takes it: an int, first octet most significant."""
    return int(ipaddress.IPv4Address(address))


def to_text(address: int) -> str:
    return str(ipaddress.IPv4Address(address))


@dataclass(frozen=True)
class Camera:
    """A camera as its broadcast discovery answer describes it."""
    mac: int
    mac_text: str
    address: str
    model: int
    ext_model: int
    firmware: int
    features: int
    enclosure: int

    @classmethod
    def _from(cls, raw) -> "Camera":
        return cls(raw.mac, raw.mac_text.decode(), to_text(raw.address), raw.model,
                   raw.ext_model, raw.firmware, raw.features, raw.enclosure)


@dataclass(frozen=True)
class MdnsCamera:
    """A camera as its mDNS record describes it."""
    mac: int
    address: str
    model: str
    firmware: Tuple[int, int]
    valid: bool

    @classmethod
    def _from(cls, raw) -> "MdnsCamera":
        return cls(raw.mac, to_text(raw.address), raw.model.decode("utf-8", "replace"),
                   (raw.firmware_major, raw.firmware_minor), bool(raw.valid))


@dataclass(frozen=True)
class ScannedCamera:
    """A camera as a scan of several interfaces sees it."""
    mac: int
    address: str
    methods: int
    flags: int
    broadcast: Optional[Camera]
    mdns: Optional[MdnsCamera]
    interfaces: List[str] = field(default_factory=list)

    @classmethod
    def _from(cls, raw) -> "ScannedCamera":
        names = raw.interfaces.decode("utf-8", "replace")
        return cls(raw.mac, to_text(raw.address), raw.methods, raw.flags,
                   Camera._from(raw.broadcast) if raw.has_broadcast else None,
                   MdnsCamera._from(raw.mdns) if raw.has_mdns else None,
                   names.split(",") if names else [])


class _Handle:
    """Owns one C handle; closed by close() or at the end of a with block."""
    _destroy: Callable = None
    _last_error: Callable = None

    def __init__(self) -> None:
        self._handle = ctypes.c_void_p()
        # A Python exception raised inside a callback, raised again after the C call returns.
        self._pending: Optional[BaseException] = None

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def close(self) -> None:
        """Releases the handle; safe to call twice."""
        if getattr(self, "_handle", None):
            type(self)._destroy(self._handle)
            self._handle = ctypes.c_void_p()

    def _check(self, code: int) -> None:
        pending, self._pending = self._pending, None
        if pending is not None:
            raise pending
        check(code, self._handle, type(self)._last_error)

    def _guarded(self, function: Callable, stop: int = 1) -> Callable:
        """Wraps a callback so that its exception stops the call and is raised after it."""
        def call(*arguments):
            try:
                return function(*arguments)
            except BaseException as error:  # kept and raised on the caller's side
                self._pending = error
                return stop
        return call


class Lock:
    """A lock shared by clients: their operations are serialised against each other."""

    def __init__(self) -> None:
        self._handle = ctypes.c_void_p()
        check(lib.qxnet_lock_create(ctypes.byref(self._handle)))

    def __enter__(self) -> "Lock":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def close(self) -> None:
        """Drops this reference; clients made with the lock keep theirs."""
        if getattr(self, "_handle", None):
            lib.qxnet_lock_destroy(self._handle)
            self._handle = ctypes.c_void_p()


def _lock_of(lock: Optional[Lock]):
    return lock._handle if lock is not None else None


class TFTPClient(_Handle):
    """TFTP file transfer with a camera and broadcast discovery of cameras.

    >>> with TFTPClient() as client:
    ...     cameras = client.discover("127.255.255.255", 10069)
    """
    _destroy = lib.qxnet_tftp_destroy
    _last_error = lib.qxnet_tftp_last_error

    def __init__(self, lock: Optional[Lock] = None, local_address: Address = 0,
                 double_packets: bool = True, retries: int = 3) -> None:
        super().__init__()
        check(lib.qxnet_tftp_create(_lock_of(lock), to_host_order(local_address),
                                    int(double_packets), retries, ctypes.byref(self._handle)))

    def open(self, address: Address, port: int = 69) -> None:
        """Aims the client at a camera's TFTP port or a broadcast address and port."""
        self._check(lib.qxnet_tftp_open(self._handle, to_host_order(address), port))

    def discover(self, broadcast: Address = "127.255.255.255", port: int = 10069,
                 request: bytes = b"") -> List[Camera]:
        """Every camera that answers a discovery request to broadcast:port, in MAC order; an
        empty list when none answers."""
        self.open(broadcast, port)
        cameras: List[Camera] = []
        callback = CAMERA_CALLBACK(self._guarded(
            lambda raw, _: cameras.append(Camera._from(raw.contents)) or 0))
        code = lib.qxnet_tftp_discover(self._handle, request or None, len(request), callback,
                                       None)
        if code == OBJECT_NOT_FOUND and self._pending is None:
            return []
        self._check(code)
        return cameras

    def read_to(self, file_name: str, write: Callable[[bytes], None],
                progress: Optional[Callable[[int, int], None]] = None) -> int:
        """Reads a file from the opened camera through write (called with each piece in order)
        and progress (blocks, bytes); returns the bytes delivered."""
        length = ctypes.c_uint64(0)
        data = DATA_CALLBACK(self._guarded(
            lambda chunk, size, _: write(ctypes.string_at(chunk, size)) or 0))
        report = PROGRESS_CALLBACK(self._guarded(
            lambda blocks, count, _: progress(blocks, count) if progress else None, None))
        self._check(lib.qxnet_tftp_read_to(self._handle, file_name.encode(), data, report, None,
                                           ctypes.byref(length)))
        return length.value

    def read(self, file_name: str,
             progress: Optional[Callable[[int, int], None]] = None) -> bytes:
        """The whole file from the opened camera."""
        pieces = bytearray()
        self.read_to(file_name, pieces.extend, progress)
        return bytes(pieces)

    def write(self, file_name: str) -> None:
        """Sends a write request for file_name and waits for the camera's acknowledgement."""
        self._check(lib.qxnet_tftp_write(self._handle, file_name.encode()))


class MDNSClient(_Handle):
    """Multicast DNS with the cameras on the interface with local_address."""
    _destroy = lib.qxnet_mdns_destroy
    _last_error = lib.qxnet_mdns_last_error

    def __init__(self, local_address: Address, lock: Optional[Lock] = None) -> None:
        super().__init__()
        check(lib.qxnet_mdns_create(_lock_of(lock), to_host_order(local_address),
                                    ctypes.byref(self._handle)))

    def query_cameras(self) -> List[MdnsCamera]:
        """The cameras that answer the service query; an empty list when none does."""
        cameras: List[MdnsCamera] = []
        callback = MDNS_CAMERA_CALLBACK(self._guarded(
            lambda raw, _: cameras.append(MdnsCamera._from(raw.contents)) or 0))
        code = lib.qxnet_mdns_query_cameras(self._handle, callback, None)
        if code == OBJECT_NOT_FOUND and self._pending is None:
            return []
        self._check(code)
        return cameras

    def query_mac(self, mac: int) -> Optional[Tuple[int, str]]:
        """(MAC, address) of the one camera that answers for mac, or None."""
        found = ctypes.c_uint64(0)
        address = ctypes.c_uint32(0)
        code = lib.qxnet_mdns_query_mac(self._handle, mac, ctypes.byref(found),
                                        ctypes.byref(address))
        if code == OBJECT_NOT_FOUND:
            return None
        self._check(code)
        return found.value, to_text(address.value)


@dataclass(frozen=True)
class Response:
    """One HTTP answer: the server's status and the body."""
    status: int
    body: bytes


class HTTPClient(_Handle):
    """HTTP GET requests to one camera's web server (port 80)."""
    _destroy = lib.qxnet_http_destroy
    _last_error = lib.qxnet_http_last_error

    def __init__(self, address: str, camera_key: int = 0, lock: Optional[Lock] = None) -> None:
        super().__init__()
        check(lib.qxnet_http_create(_lock_of(lock), str(address).encode(), camera_key,
                                    ctypes.byref(self._handle)))

    def get(self, path: str, user: Optional[str] = None,
            password: Optional[str] = None) -> Response:
        """GET path, with Basic credentials when given (else those that last worked). Raises
        QXNetError with the transport's error number when no answer arrived."""
        body = bytearray()
        callback = DATA_CALLBACK(self._guarded(
            lambda chunk, size, _: body.extend(ctypes.string_at(chunk, size)) or 0))
        self._check(lib.qxnet_http_get(self._handle, path.encode(),
                                       user.encode() if user is not None else None,
                                       password.encode() if password is not None else None,
                                       callback, None))
        server = ctypes.c_uint32(0)
        self._check(lib.qxnet_http_status(self._handle, None, ctypes.byref(server)))
        return Response(server.value, bytes(body))


class Scanner(_Handle):
    """The cameras on the host's networks by broadcast and mDNS, one list by MAC."""
    _destroy = lib.qxnet_scanner_destroy
    _last_error = lib.qxnet_scanner_last_error

    def __init__(self, lock: Optional[Lock] = None, interfaces: Sequence[str] = (),
                 methods: int = METHOD_BROADCAST | METHOD_MDNS,
                 request: bytes = b"qx-discover", port: int = 10069) -> None:
        super().__init__()
        self._watch = None
        check(lib.qxnet_scanner_create(_lock_of(lock), ctypes.byref(self._handle)))
        names = (ctypes.c_char_p * max(len(interfaces), 1))(*[n.encode() for n in interfaces])
        self._check(lib.qxnet_scanner_set_interfaces(self._handle, names, len(interfaces)))
        self._check(lib.qxnet_scanner_set_methods(self._handle, methods))
        self._check(lib.qxnet_scanner_set_request(self._handle, request, len(request), port))

    def scan(self) -> List[ScannedCamera]:
        """One scan; an empty list when no camera answered."""
        cameras: List[ScannedCamera] = []
        callback = SCAN_CALLBACK(self._guarded(
            lambda change, raw, _: cameras.append(ScannedCamera._from(raw.contents)) or 0))
        code = lib.qxnet_scanner_scan(self._handle, callback, None)
        if code == OBJECT_NOT_FOUND and self._pending is None:
            return []
        self._check(code)
        return cameras

    def start(self, on_change: Callable[[int, ScannedCamera], None]) -> None:
        """Starts watching: on_change(APPEARED/CHANGED/GONE, camera) runs on a worker thread of
        the scanner until stop(), which raises the first exception on_change raised."""
        def changed(change, raw, _):
            try:
                on_change(change, ScannedCamera._from(raw.contents))
            except Exception as error:  # raised by stop(), on the caller's thread
                self._pending = error
            return 0
        self._watch = SCAN_CALLBACK(changed)  # kept alive while the watch runs
        self._check(lib.qxnet_scanner_start(self._handle, self._watch, None))

    def stop(self) -> None:
        """Ends watching; no callback runs after it returns."""
        self._check(lib.qxnet_scanner_stop(self._handle))
        self._watch = None

    def close(self) -> None:
        super().close()
        self._watch = None
