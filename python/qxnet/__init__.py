"""QXNet for Python: camera discovery, file transfer, web requests, the camera scanner and the
host network, through the library's C interface (ctypes; no compiled extension).

    import qxnet
    with qxnet.TFTPClient() as client:
        for camera in client.discover("127.255.255.255", 10069):
            print(camera.mac_text, camera.address)

The shared library is found by the system's search, or named by QXNET_LIBRARY.
"""

from ._native import lib as _lib
from .clients import (APPEARED, CHANGED, GONE, METHOD_BROADCAST, METHOD_MDNS, Camera,
                      HTTPClient, Lock, MDNSClient, MdnsCamera, Response, ScannedCamera, Scanner,
                      TFTPClient)
from .errors import QXNetError, check as _check, result_text
from . import net

__all__ = ["APPEARED", "CHANGED", "GONE", "METHOD_BROADCAST", "METHOD_MDNS", "Camera",
           "HTTPClient", "Lock", "MDNSClient", "MdnsCamera", "QXNetError", "Response",
           "ScannedCamera", "Scanner", "TFTPClient", "net", "result_text", "version"]


def version() -> int:
    """The library's version number: major * 10000 + minor * 100 + patch."""
    return int(_lib.qxnet_version())


# The socket layer is started once for the process (a no-op where it needs no start).
_check(_lib.qxnet_startup())
