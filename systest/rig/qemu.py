# SPDX-License-Identifier: MIT
"""One boot of the test board under qemu-system-arm (vexpress-a9, software
emulation): the board's device tree, the card, the guest's console on the
first serial port and the screen it sends at shutdown on the second."""
import re
import socket
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from .console import lines_of


@dataclass
class Run:
    """What a boot left: its console, the overlay's last picture and the card."""
    name: str
    console: list
    screen: bytes
    card: Path
    seconds: float


class Guest:
    def __init__(self, work, name, kernel, dtb, initrd, cmdline, card, extra=(), timeout=600):
        self.name, self.card, self.timeout = name, Path(card), timeout
        self.console_log = Path(work) / ("%s-console.log" % name)
        self.screen_dump = Path(work) / ("%s-fb1.dump" % name)
        self.monitor_sock = Path(work) / ("%s-monitor.sock" % name)
        for f in (self.console_log, self.screen_dump, self.monitor_sock):
            f.unlink(missing_ok=True)
        cmd = ["qemu-system-arm", "-M", "vexpress-a9", "-smp", "1", "-m", "256M",
               "-kernel", kernel, "-dtb", dtb, "-initrd", initrd,
               "-append", "console=ttyAMA0 loglevel=4 panic=-1 " + cmdline,
               "-drive", "if=sd,format=raw,file=%s" % card, "-nic", "none", "-display", "none", "-no-reboot",
               "-serial", "file:%s" % self.console_log, "-serial", "file:%s" % self.screen_dump,
               "-monitor", "unix:%s,server=on,wait=off" % self.monitor_sock, *extra]
        self.qemu_log = open(Path(work) / ("%s-qemu.log" % name), "w")
        self.started = time.monotonic()
        self.ended = None
        self.proc = subprocess.Popen([str(c) for c in cmd], stdin=subprocess.DEVNULL, stdout=self.qemu_log,
                                     stderr=subprocess.STDOUT)

    def elapsed(self):
        return (self.ended or time.monotonic()) - self.started

    def console(self):
        return lines_of(self.console_log.read_bytes()) if self.console_log.exists() else []

    def shown(self):
        """The console as a terminal shows it, without colours: of a line
        rewritten with carriage returns only its last state."""
        raw = self.console_log.read_bytes() if self.console_log.exists() else b""
        text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", raw.decode("utf-8", "replace"))
        return [line.rstrip("\r").split("\r")[-1] for line in text.split("\n")]

    def running(self):
        return self.proc.poll() is None

    def wait_line(self, line):
        """Waits until the console holds LINE whole; False when QEMU ended or
        the time limit passed first."""
        while line not in self.console():
            if not self.running() or self.elapsed() > self.timeout:
                return False
            time.sleep(0.1)
        return True

    def kill(self):
        """Ends QEMU at once: a power cut."""
        if self.running():
            self.proc.kill()
        self.proc.wait()
        self.ended = self.ended or time.monotonic()
        self.qemu_log.close()

    def end(self):
        """Waits for the guest to end by itself (its reboot ends QEMU) and
        gives what it left."""
        while self.running() and self.elapsed() < self.timeout:
            time.sleep(0.2)
        ended = not self.running()
        self.kill()
        assert ended, "%s: the guest did not reboot within %d s" % (self.name, self.timeout)
        assert self.proc.returncode == 0, "%s: qemu-system-arm failed with status %d: %s" % (
            self.name, self.proc.returncode, Path(self.qemu_log.name).read_text())
        return Run(self.name, self.console(), self.screen_dump.read_bytes() if self.screen_dump.exists() else b"",
                   self.card, self.elapsed())

    def monitor(self, *commands):
        """QEMU's human monitor: its answer to COMMANDS."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(self.monitor_sock))
            s.sendall("".join(c + "\n" for c in commands).encode())
            s.settimeout(2)
            answer = b""
            try:
                while chunk := s.recv(4096):
                    answer += chunk
            except socket.timeout:
                pass
        return answer.decode(errors="replace")

    def pull_card(self):
        """Pulls the SD card out of the running board."""
        answer = self.monitor("eject -f sd0", "info block sd0")
        assert "not inserted" in answer, "%s: QEMU still has the SD card after eject: %s" % (self.name, answer)
