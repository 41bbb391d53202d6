"""kelvane-fuse --serve at the protocol level, from a client made of sockets:
what the server answers to requests it must refuse, to broken WebSocket
frames, and to pages that read slowly or not at all, while the scan goes on.
KELVANE_FUSE names the tool."""

import base64
import hashlib
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

TOOL = os.environ.get("KELVANE_FUSE", "")
pytestmark = pytest.mark.skipif(not os.path.isfile(TOOL), reason="KELVANE_FUSE does not name kelvane-fuse")

MODEL, UPDATES, FINAL = 1, 2, 3


class Tool:
    """kelvane-fuse --serve on the simulated sphere, its address read from standard error."""

    def __init__(self, tmp_path, *args):
        self.process = subprocess.Popen([TOOL, "--serve", "-q", "--no-preview", "--ply", "", "-o", str(tmp_path), *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        found = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", line)
        assert found, line
        self.port = int(found.group(1))

    def interrupt(self):
        while "until interrupted" not in (line := self.process.stderr.readline()):
            assert line, "the tool ended without serving on"
        self.process.send_signal(signal.SIGTERM)

    def finish(self, timeout=60):
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out, err

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


@pytest.fixture
def served(tmp_path):
    tools = []

    def start(*args):
        tools.append(Tool(tmp_path, *args))
        return tools[-1]
    yield start
    for tool in tools:
        tool.stop()


def http(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), head.decode("latin-1"), body


def get(port, path, method="GET", host=None, headers=""):
    host = host or f"127.0.0.1:{port}"
    return http(port, f"{method} {path} HTTP/1.1\r\nHost: {host}\r\n{headers}Connection: close\r\n\r\n".encode())


def read_exactly(s, n):
    data = bytearray()
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise EOFError("connection closed")
        data += chunk
    return bytes(data)


class Page:
    """A WebSocket client of /live that keeps the table a page keeps."""

    def __init__(self, port, receive_buffer=None):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(20)
        self.sock.connect(("127.0.0.1", port))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /live HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += read_exactly(self.sock, 1)
        accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
        assert head.startswith(b"HTTP/1.1 101") and accept in head, head
        self.table, self.kinds, self.final = {}, [], None

    def send(self, opcode, payload, masked=True, first_byte=None):
        header = bytes([first_byte if first_byte is not None else 0x80 | opcode])
        length = len(payload)
        mask_bit = 0x80 if masked else 0
        if length < 126:
            header += bytes([mask_bit | length])
        elif length < 65536:
            header += bytes([mask_bit | 126]) + struct.pack(">H", length)
        else:
            header += bytes([mask_bit | 127]) + struct.pack(">Q", length)
        if masked:
            mask = os.urandom(4)
            payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            header += mask
        self.sock.sendall(header + payload)

    def frame(self):
        opcode, payload, fin = self._frame()
        while not fin:
            _, more, fin = self._frame()
            payload += more
        return opcode, payload

    def _frame(self):
        first, second = read_exactly(self.sock, 2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack(">H", read_exactly(self.sock, 2))[0]
        elif length == 127:
            length = struct.unpack(">Q", read_exactly(self.sock, 8))[0]
        assert not second & 0x80, "the server masks nothing"
        return first & 0x0F, read_exactly(self.sock, length), bool(first & 0x80)

    def apply(self, message):
        magic, kind, frame, frames, fps, dropped, count, digest, resolution = struct.unpack_from("<4sIiifiIIf", message)
        assert magic == b"KLV1"
        self.kinds.append(kind)
        if kind == FINAL:
            assert len(message) == 36
            self.final = (count, digest)
            return
        assert len(message) == 36 + 36 * count
        if kind == MODEL:
            self.table.clear()
        for offset in range(36, len(message), 36):
            view_id, state = struct.unpack_from("<iB", message, offset + 24)
            if state == 255:
                self.table.pop(view_id, None)
            else:
                self.table[view_id] = message[offset:offset + 36]

    def follow(self, pause_after_model=0.0):
        """Applies messages until the final one, pausing after the first model; a close's code."""
        while self.final is None:
            opcode, payload = self.frame()
            if opcode == 8:
                return struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
            if opcode == 2:
                self.apply(payload)
                if self.kinds == [MODEL]:
                    time.sleep(pause_after_model)
        return None


def mix(view_id):
    h = (view_id + 0x9E3779B9) & 0xFFFFFFFF
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & 0xFFFFFFFF
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & 0xFFFFFFFF
    return h ^ (h >> 16)


def live_points(report):
    return int(re.search(r"fused live points\s+(\d+)", report).group(1))


def assert_page_holds_the_model(page, report):
    assert page.final == (live_points(report), sum(map(mix, page.table)) & 0xFFFFFFFF)
    assert len(page.table) == live_points(report)


def test_serves_its_own_files_and_refuses_everything_else(served):
    tool = served("--frames", "3")
    status, head, body = get(tool.port, "/")
    assert status == 200 and "text/html" in head and b'src="/live.js"' in body
    for path, kind in [("/live.js", "text/javascript"), ("/three/build/three.module.js", "text/javascript"),
                       ("/three/examples/jsm/controls/OrbitControls.js", "text/javascript"), ("/live.css", "text/css")]:
        status, head, body = get(tool.port, path)
        assert (status, kind in head, len(body) > 100) == (200, True, True), path
    for path in ["/nope", "/index.htm", "/../CMakeLists.txt", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
                 "/three/build/three.js", "/live.js/", "/three/build/", "/tools/fuse/serve/web/live.js"]:
        assert get(tool.port, path)[0] == 404, path
    assert get(tool.port, "/", method="POST")[0] == 405
    status, head, body = get(tool.port, "/", method="HEAD")
    assert status == 200 and body == b""
    assert get(tool.port, "/live")[0] == 426  # the stream is a WebSocket only
    assert get(tool.port, "/", host="attacker.example")[0] == 403  # a rebound name
    upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
    assert get(tool.port, "/live", headers=upgrade + "Origin: http://attacker.example\r\n")[0] == 403
    assert get(tool.port, "/elsewhere", headers=upgrade)[0] == 404
    assert http(tool.port, b"NOT HTTP AT ALL\r\n\r\n")[0] == 400
    assert http(tool.port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + b"a" * 20000 + b"\r\n\r\n")[0] == 400
    tool.interrupt()
    status, out, err = tool.finish()
    assert status == 0 and "fused live points" in out and "0 page connections" in err


def test_broken_frames_are_refused_with_a_close_code_and_the_scan_goes_on(served):
    # Blocking frames report no updates, so pages get the model after each.
    tool = served("--blocking", "--fps", "20", "--frames", "40", "--serve-exit")
    too_big, unmasked, bad_opcode, reserved_bit = Page(tool.port), Page(tool.port), Page(tool.port), Page(tool.port)
    too_big.send(1, b"x" * 70000)
    unmasked.send(1, b"hello", masked=False)
    bad_opcode.send(3, b"")
    reserved_bit.send(1, b"hello", first_byte=0x80 | 0x40 | 1)
    assert too_big.follow() == 1009  # message too big
    assert [page.follow() for page in (unmasked, bad_opcode, reserved_bit)] == [1002] * 3  # protocol error
    for broken in (too_big, unmasked, bad_opcode, reserved_bit):
        broken.sock.close()  # as a browser does after the close frame
    page = Page(tool.port)
    page.send(1, b"a page may say a little")  # small messages are read and ignored
    assert page.follow() is None
    status, out, err = tool.finish()
    assert status == 0
    assert_page_holds_the_model(page, out)
    assert page.kinds.count(UPDATES) == 0 and page.kinds.count(MODEL) >= 3
    assert "4 refused (bad frames)" in err


def test_pages_that_lag_are_resynchronised_and_pages_that_never_read_are_dropped(served):
    tool = served("--fps", "20", "--frames", "90", "--serve-queue", "1", "--serve-exit")
    stuck = Page(tool.port, receive_buffer=4096)  # handshake done, then never reads
    # The lagging page pauses well under the 3 s after which a page counts as stuck.
    steady, slow = Page(tool.port), Page(tool.port, receive_buffer=65536)
    slow_result = {}
    reader = threading.Thread(target=lambda: slow_result.setdefault("close", slow.follow(pause_after_model=1.5)))
    reader.start()
    started = time.monotonic()
    assert steady.follow() is None
    reader.join(60)
    status, out, err = tool.finish()
    assert status == 0 and time.monotonic() - started < 30
    for page in (steady, slow):
        assert_page_holds_the_model(page, out)
    assert slow_result == {"close": None} and slow.kinds.count(MODEL) > 1  # sent the model again
    resynced, dropped = map(int, re.search(r"(\d+) resynchronised, (\d+) dropped", err).groups())
    assert resynced >= 1 and dropped == 1
    stuck.sock.settimeout(5)
    with pytest.raises((EOFError, ConnectionResetError)):
        while True:  # what the kernel still held, then the end
            stuck.frame()
