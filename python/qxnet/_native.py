"""The shared library and the C interface's declarations, for ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int32, c_uint8,
                    c_uint16, c_uint32, c_uint64, c_void_p)

result_t = c_uint32


class Camera_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("mac", c_uint64),
                ("model", c_uint32), ("ext_model", c_uint32), ("firmware", c_uint16),
                ("features", c_uint16), ("enclosure", c_uint8), ("reserved", c_uint8 * 7),
                ("mac_text", c_char * 20)]


class MdnsCamera_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("mac", c_uint64),
                ("hex32", c_uint32), ("hex16", c_uint16), ("pair_first", c_uint16),
                ("pair_second", c_uint16), ("valid", c_uint16), ("firmware_major", c_int32),
                ("firmware_minor", c_int32), ("model", c_char * 64)]


class ScannedCamera_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("mac", c_uint64),
                ("methods", c_uint32), ("flags", c_uint32), ("has_broadcast", c_uint32),
                ("has_mdns", c_uint32), ("broadcast", Camera_), ("mdns", MdnsCamera_),
                ("last_seen", c_uint32), ("interface_count", c_uint32),
                ("interfaces", c_char * 256)]


class Interface_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("mask", c_uint32),
                ("broadcast", c_uint32), ("name", c_char * 64), ("description", c_char * 128)]


class AddressRow_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("mask", c_uint32),
                ("broadcast", c_uint32), ("interface_index", c_uint32)]


class NeighbourRow_(Structure):
    _fields_ = [("size", c_uint32), ("address", c_uint32), ("interface_index", c_uint32),
                ("type", c_uint32), ("physical_length", c_uint32), ("physical", c_uint8 * 8)]


CAMERA_CALLBACK = CFUNCTYPE(c_int32, POINTER(Camera_), c_void_p)
MDNS_CAMERA_CALLBACK = CFUNCTYPE(c_int32, POINTER(MdnsCamera_), c_void_p)
PROGRESS_CALLBACK = CFUNCTYPE(None, c_uint32, c_uint64, c_void_p)
DATA_CALLBACK = CFUNCTYPE(c_int32, POINTER(c_uint8), c_uint32, c_void_p)
SCAN_CALLBACK = CFUNCTYPE(c_int32, c_uint32, POINTER(ScannedCamera_), c_void_p)

_P = c_void_p  # every handle is opaque
_U32P = POINTER(c_uint32)
_U64P = POINTER(c_uint64)

_PROTOTYPES = {
    "qxnet_version": (c_uint32, []),
    "qxnet_startup": (result_t, []),
    "qxnet_cleanup": (result_t, []),
    "qxnet_result_text": (result_t, [c_uint32, c_char_p, c_uint32, _U32P]),
    "qxnet_lock_create": (result_t, [POINTER(_P)]),
    "qxnet_lock_destroy": (result_t, [_P]),
    "qxnet_tftp_create": (result_t, [_P, c_uint32, c_int32, c_int32, POINTER(_P)]),
    "qxnet_tftp_destroy": (result_t, [_P]),
    "qxnet_tftp_open": (result_t, [_P, c_uint32, c_uint16]),
    "qxnet_tftp_close": (result_t, [_P]),
    "qxnet_tftp_discover": (result_t, [_P, c_char_p, c_uint32, CAMERA_CALLBACK, c_void_p]),
    "qxnet_tftp_read_to": (result_t, [_P, c_char_p, DATA_CALLBACK, PROGRESS_CALLBACK, c_void_p,
                                      _U64P]),
    "qxnet_tftp_write": (result_t, [_P, c_char_p]),
    "qxnet_tftp_last_error": (result_t, [_P, c_char_p, c_uint32, _U32P]),
    "qxnet_mdns_create": (result_t, [_P, c_uint32, POINTER(_P)]),
    "qxnet_mdns_destroy": (result_t, [_P]),
    "qxnet_mdns_query_cameras": (result_t, [_P, MDNS_CAMERA_CALLBACK, c_void_p]),
    "qxnet_mdns_query_mac": (result_t, [_P, c_uint64, _U64P, _U32P]),
    "qxnet_mdns_last_error": (result_t, [_P, c_char_p, c_uint32, _U32P]),
    "qxnet_http_create": (result_t, [_P, c_char_p, c_uint64, POINTER(_P)]),
    "qxnet_http_destroy": (result_t, [_P]),
    "qxnet_http_get": (result_t, [_P, c_char_p, c_char_p, c_char_p, DATA_CALLBACK, c_void_p]),
    "qxnet_http_status": (result_t, [_P, _U32P, _U32P]),
    "qxnet_http_close": (result_t, [_P]),
    "qxnet_http_last_error": (result_t, [_P, c_char_p, c_uint32, _U32P]),
    "qxnet_scanner_create": (result_t, [_P, POINTER(_P)]),
    "qxnet_scanner_destroy": (result_t, [_P]),
    "qxnet_scanner_set_interfaces": (result_t, [_P, POINTER(c_char_p), c_uint32]),
    "qxnet_scanner_set_loopback": (result_t, [_P, c_int32]),
    "qxnet_scanner_set_methods": (result_t, [_P, c_uint32]),
    "qxnet_scanner_set_request": (result_t, [_P, c_char_p, c_uint32, c_uint16]),
    "qxnet_scanner_set_watch_timing": (result_t, [_P, c_uint32, c_uint32]),
    "qxnet_scanner_scan": (result_t, [_P, SCAN_CALLBACK, c_void_p]),
    "qxnet_scanner_start": (result_t, [_P, SCAN_CALLBACK, c_void_p]),
    "qxnet_scanner_stop": (result_t, [_P]),
    "qxnet_scanner_last_error": (result_t, [_P, c_char_p, c_uint32, _U32P]),
    "qxnet_net_interfaces": (result_t, [POINTER(Interface_), c_uint32, _U32P]),
    "qxnet_net_addresses": (result_t, [POINTER(AddressRow_), c_uint32, _U32P]),
    "qxnet_net_neighbours": (result_t, [POINTER(NeighbourRow_), c_uint32, _U32P]),
    "qxnet_net_ping": (result_t, [c_uint32, c_uint32, POINTER(c_int32)]),
    "qxnet_net_free_address": (result_t, [c_uint32, c_uint32, _U32P]),
}


def _load() -> ctypes.CDLL:
    # QXNET_LIBRARY names the library file outright (a build tree, say); otherwise the system's
    # search finds the installed one.
    path = os.environ.get("QXNET_LIBRARY")
    if not path:
        path = ctypes.util.find_library("qxnet")
    if not path:
        path = "qxnet.dll" if sys.platform == "win32" else "libqxnet.so.0"
    library = ctypes.CDLL(path)
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


lib = _load()
