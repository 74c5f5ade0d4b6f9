#!/usr/bin/env python3
"""Boots the kernel test guest once: starts the usbredir device emulators, QEMU with the devices on an
xHCI controller, answers the guest's hot-plug requests through QMP, and collects each guest test's
exit status and log. Always ends QEMU and the emulators, also on errors and time-outs.

  run_vm.py --cache DIR --vm-dir DIR --src DIR --build DIR --emulator PROG \
            --device NAME=MODEL_ARGS ... --test SCRIPT ... [--timeout S] [--test-timeout S] [--env NAME=VALUE]
            [--share DIR ...] [--memory MB]

--share makes a host folder writable in the guest at its own path (everything else is a read-only
view of this machine's root under a throw-away overlay).

Exit status: 0 when every test ended with 0, 1 otherwise (a test that left no status counts as failed).
"""
import argparse
import json
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time


def log(msg):
    print(f"run-vm: {msg}", flush=True)


class Qmp:
    """A QMP client on one connection; events are kept for whoever waits for them."""

    def __init__(self, path, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.buf = b""
        self.events = []
        self._read_msg(10)  # greeting
        self.command("qmp_capabilities")

    def _read_msg(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer from QMP")
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("QMP connection closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, timeout=20, **arguments):
        msg = {"execute": name}
        if arguments:
            msg["arguments"] = arguments
        self.sock.sendall(json.dumps(msg).encode() + b"\n")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_msg(max(0.1, deadline - time.monotonic()))
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise RuntimeError(f"{name}: {reply['error'].get('desc', reply['error'])}")
            return reply.get("return")

    def wait_event(self, name, device=None, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            for i, ev in enumerate(self.events):
                if ev["event"] == name and (device is None or ev.get("data", {}).get("device") == device):
                    del self.events[i]
                    return ev
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {name} event for {device}")
            self.events.append(self._read_msg(left))


class Device:
    def __init__(self, name, args, vm_dir, emulator, out_dir):
        self.name, self.args, self.emulator = name, args, emulator
        self.sock = os.path.join(vm_dir, f"{name}.sock")
        self.stats = os.path.join(out_dir, f"{name}.stats")
        self.log_path = os.path.join(out_dir, f"{name}.log")
        self.proc = None
        self.chardev_seq = 0
        if len(self.sock) >= 108:
            raise SystemExit(f"run-vm: socket path too long for a UNIX socket: {self.sock}")

    def chardev(self):
        return f"{self.name}-c{self.chardev_seq}"

    def start(self):
        if os.path.exists(self.sock):
            os.unlink(self.sock)
        cmd = [self.emulator, "--socket", self.sock, *self.args, "--stats", self.stats]
        self.logf = open(self.log_path, "a")
        self.proc = subprocess.Popen(cmd, stdout=self.logf, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.sock):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"run-vm: emulator {self.name} did not start ({' '.join(cmd)}); see {self.log_path}")
            time.sleep(0.05)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if os.path.exists(self.sock):
            os.unlink(self.sock)


def usable_kvm():
    """KVM only where it really runs a normal kernel: hardware virtualisation, not a paravirtual one."""
    try:
        fd = os.open("/dev/kvm", os.O_RDWR)
        os.close(fd)
    except OSError:
        return False
    if os.path.exists("/sys/module/kvm_pvm"):
        return False
    with open("/proc/cpuinfo") as f:
        flags = f.read()
    return " vmx" in flags or " svm" in flags


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cache", required=True)
    ap.add_argument("--vm-dir", required=True)
    ap.add_argument("--src", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--emulator", required=True)
    ap.add_argument("--device", action="append", default=[])
    ap.add_argument("--test", action="append", default=[])
    ap.add_argument("--env", action="append", default=[])
    ap.add_argument("--timeout", type=int, default=280)
    ap.add_argument("--test-timeout", type=int, default=420)
    ap.add_argument("--share", action="append", default=[])
    ap.add_argument("--memory", type=int, default=1024, help="guest memory in MiB")
    ap.add_argument("--accel", default=os.environ.get("VM_ACCEL", "auto"), choices=["auto", "tcg", "kvm"])
    a = ap.parse_args()

    vm_dir = os.path.abspath(a.vm_dir)
    out = os.path.join(vm_dir, "out")
    ctl = os.path.join(vm_dir, "ctl")
    for d in (out, ctl):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    kver = open(os.path.join(a.cache, "kver")).read().strip()

    devices = []
    for device_arg in a.device:
        name, _, args = device_arg.partition("=")
        devices.append(Device(name, shlex.split(args), vm_dir, a.emulator, out))
    by_name = {d.name: d for d in devices}
    tests = [os.path.abspath(t) for t in a.test]
    shares = [os.path.abspath(d) for d in a.share]
    for d in shares:
        if "," in d or " " in d or not os.path.isdir(d):
            sys.exit(f"run-vm: cannot share {d!r}: not a folder, or its path has a comma or a space")
    names = [os.path.splitext(os.path.basename(t))[0] for t in tests]

    accels = [a.accel] if a.accel != "auto" else (["kvm", "tcg"] if usable_kvm() else ["tcg"])
    qemu = None
    qmp = None
    started = time.monotonic()
    serial = os.path.join(out, "serial.log")
    try:
        for d in devices:
            d.start()
        for accel in accels:
            env_words = [f"VM_DIR={vm_dir}", f"KVM_CACHE={a.cache}", f"SRC_DIR={os.path.abspath(a.src)}",
                         f"BUILD_DIR={os.path.abspath(a.build)}", f"MODULES_DIR={a.cache}/kernel/lib/modules",
                         f"TESTS={','.join(tests)}", f"TEST_TIMEOUT={a.test_timeout}", *a.env]
            if shares:
                env_words.append(f"SHARES={','.join(shares)}")
            append = " ".join(["console=ttyS0", "quiet", "panic=-1",
                               f"stage2={os.path.join(os.path.dirname(os.path.abspath(__file__)), 'stage2.sh')}",
                               *env_words])
            # Without SMAP: QEMU 7.2's TCG pops the stack of a user-mode iret with supervisor rights, which
            # SMAP refuses, and 32-bit Wine returns from its exception handling with iret.
            accel_args = (["-accel", "kvm", "-cpu", "host"] if accel == "kvm"
                          else ["-accel", "tcg", "-cpu", "max,smap=off"])
            cmd = ["timeout", "-k", "5", str(a.timeout), "nice", "-n", "5", "qemu-system-x86_64", *accel_args,
                   "-m", str(a.memory), "-smp", "2", "-nographic", "-nodefaults", "-serial", "stdio", "-nic", "none",
                   "-no-reboot", "-bios", "/usr/share/qemu/qboot.rom",
                   "-kernel", os.path.join(a.cache, "vmlinux"), "-initrd", os.path.join(a.cache, "initrd.gz"),
                   "-append", append,
                   "-virtfs", "local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap",
                   "-virtfs", f"local,path={vm_dir},mount_tag=vmdir,security_model=none,multidevs=remap",
                   *[arg for i, d in enumerate(shares) for arg in
                     ("-virtfs", f"local,path={d},mount_tag=share{i},security_model=none,multidevs=remap")],
                   "-device", "qemu-xhci,id=xhci",
                   "-qmp", f"unix:{vm_dir}/qmp.sock,server=on,wait=off"]
            for d in devices:
                cmd += ["-chardev", f"socket,id={d.chardev()},path={d.sock}",
                        "-device", f"usb-redir,chardev={d.chardev()},id={d.name},bus=xhci.0"]
            log(f"booting the guest ({accel}); tests: {', '.join(names) or 'none'}")
            with open(serial, "a") as sf:
                qemu = subprocess.Popen(cmd, stdout=sf, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                        start_new_session=True)
            qmp = Qmp(os.path.join(vm_dir, "qmp.sock"))
            if accel == "kvm":
                # A KVM that cannot run the kernel shows nothing at all: fall back to TCG.
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline and qemu.poll() is None:
                    if "T_INITRAMFS" in open(serial, errors="replace").read():
                        break
                    time.sleep(0.2)
                else:
                    log("KVM did not boot the kernel in 15 s; using TCG")
                    stop_qemu(qemu)
                    qemu = None
                    for d in devices:  # a fresh connection for the next QEMU
                        d.stop()
                        d.start()
                    continue
            break
        serve(qemu, qmp, ctl, by_name, vm_dir)
        rc = qemu.wait()
        if rc != 0:
            log(f"QEMU ended with status {rc}" + (" (time limit reached)" if rc in (124, 137) else ""))
    finally:
        if qemu is not None:
            stop_qemu(qemu)
        for d in devices:
            d.stop()
        for f in ("qmp.sock",):
            try:
                os.unlink(os.path.join(vm_dir, f))
            except OSError:
                pass
    return report(out, names, serial, time.monotonic() - started)


def stop_qemu(qemu):
    if qemu.poll() is None:
        os.killpg(qemu.pid, signal.SIGTERM)
        try:
            qemu.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(qemu.pid, signal.SIGKILL)
            qemu.wait()


def serve(qemu, qmp, ctl, devices, vm_dir):
    """Answers the guest's requests (files ctl/ID.req, answered in ctl/ID.done) until QEMU ends."""
    while qemu.poll() is None:
        reqs = sorted(f for f in os.listdir(ctl) if f.endswith(".req"))
        for f in reqs:
            path = os.path.join(ctl, f)
            words = open(path).read().split()
            os.unlink(path)
            try:
                answer = "ok " + handle(qmp, devices, words, vm_dir)
            except Exception as e:  # the guest test sees the reason and fails
                answer = f"error: {e}"
            log(f"guest asked '{' '.join(words)}': {answer}")
            done = os.path.join(ctl, f[:-4] + ".done")
            with open(done + ".tmp", "w") as o:
                o.write(answer + "\n")
            os.rename(done + ".tmp", done)
        time.sleep(0.05)


def detach(qmp, d):
    qmp.command("device_del", id=d.name)
    qmp.wait_event("DEVICE_DELETED", device=d.name)


def attach(qmp, d):
    # usb-redir deletes its chardev on removal but the id stays taken: every attach uses a new one.
    d.chardev_seq += 1
    qmp.command("chardev-add", id=d.chardev(),
                backend={"type": "socket", "data": {"addr": {"type": "unix", "data": {"path": d.sock}},
                                                    "server": False}})
    qmp.command("device_add", driver="usb-redir", chardev=d.chardev(), id=d.name, bus="xhci.0")


def handle(qmp, devices, words, vm_dir):
    if len(words) == 2 and words[0] == "ffprobe":
        # Media files the guest wrote, checked with the host's ffprobe (it would take minutes to load in a
        # TCG guest). Only files in the shared folder.
        path = os.path.realpath(words[1])
        if not path.startswith(vm_dir + os.sep) or not os.path.isfile(path):
            raise ValueError(f"not a file of the test bed: {words[1]}")
        r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                            "stream=codec_name,width,height,nb_read_frames:format=duration", "-of",
                            "default=nw=1", path], capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise ValueError("ffprobe: " + (r.stderr.strip().splitlines() or ["failed"])[-1])
        return " ".join(r.stdout.split())
    if len(words) < 2 or words[1] not in devices:
        raise ValueError(f"unknown request or device: {' '.join(words)}")
    op, d = words[0], devices[words[1]]
    if op == "unplug":
        detach(qmp, d)
    elif op == "plug":
        attach(qmp, d)
    elif op in ("device-unplug", "device-plug"):
        d.proc.send_signal(signal.SIGUSR1 if op == "device-unplug" else signal.SIGUSR2)
    elif op == "stall":
        d.proc.send_signal(signal.SIGRTMIN)
    elif op == "restart":
        detach(qmp, d)
        d.stop()
        d.args = words[2:]
        d.start()
        attach(qmp, d)
    else:
        raise ValueError(f"unknown request {op}")
    return op


def report(out, names, serial, seconds):
    failed = 0
    for n in names:
        rc_path = os.path.join(out, n, "rc")
        rc = open(rc_path).read().strip() if os.path.exists(rc_path) else "none (the guest did not finish it)"
        ok = rc == "0"
        failed += not ok
        log(f"test {n}: {'passed' if ok else 'FAILED, status ' + rc}")
        log_path = os.path.join(out, n, "log")
        if os.path.exists(log_path):
            lines = open(log_path, errors="replace").read().splitlines()
            shown = lines if not ok else [l for l in lines if l.startswith("RESULT")]
            for l in shown[-80:]:
                print(f"  {n}| {l}")
    if not names or any(not os.path.exists(os.path.join(out, n, "rc")) for n in names):
        print("--- serial console (last lines)")
        for l in open(serial, errors="replace").read().splitlines()[-40:]:
            print("  " + l)
    log(f"{len(names) - failed} of {len(names)} guest tests passed in {seconds:.1f} s")
    return 1 if failed or not names else 0


if __name__ == "__main__":
    sys.exit(main())
