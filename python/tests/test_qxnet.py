"""The Python package against the simulators: on loopback, and inside a network namespace for
mDNS, whose port 5353 is fixed."""

import os
import shutil
import subprocess
import sys
import uuid

import pytest

import qxnet

_ALPHABET = (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
             b"-_.:;,!?#$%&*()[]{}<>=@")


def generated(size: int) -> bytes:
    """The simulator's generated file content."""
    out = bytearray(size)
    mask = (1 << 64) - 1
    for i in range(size):
        x = (i * 0x9E3779B97F4A7C15) & mask
        x ^= x >> 29
        out[i] = _ALPHABET[(x + i // 7) % len(_ALPHABET)]
    return bytes(out)


def test_version_and_result_text():
    assert qxnet.version() >= 100
    assert "imed" in qxnet.result_text(0xF0000007)
    assert qxnet.result_text(12029) == ""


def test_discover_then_read_a_file(discovery_port, tftp_address, tftp_port):
    with qxnet.TFTPClient() as client:
        cameras = client.discover("127.255.255.255", discovery_port)
        assert len(cameras) >= 1
        assert len({camera.mac for camera in cameras}) == len(cameras)
        for camera in cameras:
            assert camera.address.startswith("127.")
            assert camera.mac_text.count(":") == 5
        client.open(tftp_address, tftp_port)
        steps = []
        data = client.read("portable-2904", progress=lambda blocks, count: steps.append(count))
    assert data == generated(874103)
    assert steps and steps == sorted(steps) and steps[-1] <= len(data)


def test_failures_raise_with_code_and_text(tftp_address, tftp_port):
    with qxnet.TFTPClient(retries=1) as client:
        client.open(tftp_address, tftp_port)
        with pytest.raises(qxnet.QXNetError) as failure:
            client.read("no-such-file")
        assert failure.value.code != 0
        assert failure.value.text
        # Nothing answers discovery on the TFTP port: an empty list, not an error.
        assert client.discover("127.255.255.255", tftp_port) == []


@pytest.mark.parametrize("table", [
    ("written", lambda chunk: None, None),
    ("raises", lambda chunk: 1 / 0, ZeroDivisionError),
])
def test_callback_exceptions_reach_the_caller(tftp_address, tftp_port, table):
    _, write, expected = table
    with qxnet.TFTPClient() as client:
        client.open(tftp_address, tftp_port)
        if expected is None:
            assert client.read_to("portable-2904", write) == 874103
        else:
            with pytest.raises(expected):
                client.read_to("portable-2904", write)


def test_closed_handles_refuse():
    client = qxnet.TFTPClient()
    client.close()
    client.close()
    with pytest.raises(qxnet.QXNetError) as failure:
        client.open("127.0.0.1", 69)
    assert failure.value.code == 0xF0000004


@pytest.mark.parametrize("path, user, password, status, body", [
    ("/index.html", None, None, 200, b"<html>lighttpd index</html>\n"),
    ("/private/secret.txt", None, None, 401, None),
    ("/private/secret.txt", "viewer", "pa55word", 200, b"the secret page\n"),
    ("/missing", None, None, 404, None),
])
def test_http_get(web_server, path, user, password, status, body):
    with qxnet.HTTPClient(web_server, camera_key=int(uuid.uuid4()) & 0xFFFFFFFF) as client:
        response = client.get(path, user, password)
    assert response.status == status
    if body is not None:
        assert response.body == body


def test_http_silent_camera_raises_transport_error():
    with qxnet.HTTPClient("127.0.9.9") as client:
        with pytest.raises(qxnet.QXNetError) as failure:
            client.get("/")
    assert 0 < failure.value.code < 0xF0000000
    assert failure.value.text


def test_scanner_on_loopback(discovery_port):
    with qxnet.Scanner(interfaces=["lo"], methods=qxnet.METHOD_BROADCAST,
                       port=discovery_port) as scanner:
        cameras = scanner.scan()
    assert cameras
    for camera in cameras:
        assert camera.broadcast is not None and camera.broadcast.mac == camera.mac
        assert camera.interfaces == ["lo"]


def test_host_tables():
    rows = qxnet.net.addresses()
    assert all(row.address != "0.0.0.0" for row in rows)
    assert isinstance(qxnet.net.neighbours(), list)


def _namespaces_available() -> bool:
    return os.geteuid() == 0 and shutil.which("ip") is not None


@pytest.mark.skipif(not _namespaces_available(), reason="network namespaces need root and ip")
def test_mdns_in_a_namespace():
    sim = os.path.join(os.environ.get("QXNET_SIM_DIR", ""), "qxcam-sim")
    if not os.access(sim, os.X_OK):
        pytest.skip("QXNET_SIM_DIR does not hold qxcam-sim")
    name = f"qxpy{os.getpid()}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        subprocess.run(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up",
                        "multicast", "on"], check=True)
        # The simulator and the client both inside: port 5353 is the namespace's own.
        script = (
            "import subprocess, sys, time, qxnet\n"
            f"sim = subprocess.Popen([{sim!r}, '--no-tftp', '--no-web', '--cameras', '3',"
            " '--seconds', '60'],"
            " stdout=subprocess.PIPE, text=True)\n"
            "try:\n"
            "    for line in sim.stdout:\n"
            "        if 'mdns on' in line: break\n"
            "    with qxnet.MDNSClient('127.0.0.1') as client:\n"
            "        cameras = client.query_cameras()\n"
            "        assert len(cameras) == 3, cameras\n"
            "        assert all(c.valid and c.address.startswith('127.') for c in cameras)\n"
            "        found = client.query_mac(cameras[0].mac)\n"
            "        assert found == (cameras[0].mac, cameras[0].address), found\n"
            "        assert client.query_mac(0x0E1F2A123456) is None\n"
            "finally:\n"
            "    sim.terminate(); sim.wait()\n")
        done = subprocess.run(["ip", "netns", "exec", name, sys.executable, "-c", script],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
    finally:
        subprocess.run(["ip", "netns", "del", name], check=False)
