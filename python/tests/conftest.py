"""Shared fixtures: the simulators that scripts/with-sims.sh started on loopback."""

import os

import pytest


def _env(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        pytest.skip(f"{name} not set (run through scripts/with-sims.sh)")
    return value


@pytest.fixture
def discovery_port() -> int:
    return int(_env("QXNET_DISCOVERY_SIM_PORT"))


@pytest.fixture
def tftp_address() -> str:
    return _env("QXNET_TFTP_SIM_ADDRESS")


@pytest.fixture
def tftp_port() -> int:
    return int(_env("QXNET_TFTP_SIM_PORT"))


@pytest.fixture
def web_server() -> str:
    return _env("QXNET_HTTP_LIVE_SERVER")
