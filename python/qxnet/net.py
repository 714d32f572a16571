"""The host network: interfaces, address and neighbour tables, ping and free addresses."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import List, Optional

from ._native import AddressRow_, Interface_, NeighbourRow_, lib
from .clients import Address, to_host_order, to_text
from .errors import BUFFER_TOO_SMALL, OBJECT_NOT_FOUND, OK, QXNetError, check


@dataclass(frozen=True)
class Interface:
    name: str
    description: str
    address: str
    mask: str
    broadcast: str


@dataclass(frozen=True)
class AddressRow:
    address: str
    mask: str
    broadcast: str
    interface_index: int


@dataclass(frozen=True)
class Neighbour:
    address: str
    physical: bytes
    interface_index: int
    type: int


def _table(function, row_type) -> list:
    # The table may grow between the count and the rows: ask again until it fits.
    count = ctypes.c_uint32(0)
    code = function(None, 0, ctypes.byref(count))
    while True:
        if code not in (OK, BUFFER_TOO_SMALL):
            raise QXNetError(code)
        rows = (row_type * max(count.value, 1))()
        for row in rows:
            row.size = ctypes.sizeof(row_type)
        code = function(rows, len(rows), ctypes.byref(count))
        if code == OK:
            return list(rows[:count.value])


def interfaces() -> List[Interface]:
    """The host's IPv4 interfaces, 127.0.0.1 left out."""
    return [Interface(r.name.decode("utf-8", "replace"), r.description.decode("utf-8", "replace"),
                      to_text(r.address), to_text(r.mask), to_text(r.broadcast))
            for r in _table(lib.qxnet_net_interfaces, Interface_)]


def addresses() -> List[AddressRow]:
    """The host's IP address table."""
    return [AddressRow(to_text(r.address), to_text(r.mask), to_text(r.broadcast),
                       r.interface_index)
            for r in _table(lib.qxnet_net_addresses, AddressRow_)]


def neighbours() -> List[Neighbour]:
    """The host's neighbour (IP to physical address) table."""
    return [Neighbour(to_text(r.address), bytes(r.physical[:r.physical_length]),
                      r.interface_index, r.type)
            for r in _table(lib.qxnet_net_neighbours, NeighbourRow_)]


def ping(address: Address, timeout_ms: int = 1000) -> bool:
    """True when an echo reply came within timeout_ms."""
    replied = ctypes.c_int32(0)
    check(lib.qxnet_net_ping(to_host_order(address), timeout_ms, ctypes.byref(replied)))
    return bool(replied.value)


def free_address(start: Address, end: Address) -> Optional[str]:
    """The first address from start to end that answers no echo request, or None."""
    found = ctypes.c_uint32(0)
    code = lib.qxnet_net_free_address(to_host_order(start), to_host_order(end),
                                      ctypes.byref(found))
    if code == OBJECT_NOT_FOUND:
        return None
    check(code)
    return to_text(found.value)
