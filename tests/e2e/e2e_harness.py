"""The pieces of the real-window session test: Xvfb with the input tools, zav-service on
ephemeral ports, bounded waiting, and byte-for-byte comparison of folders and archives.
Python 3 standard library only (ctypes for one X call that xdotool lacks)."""
import ctypes
import ctypes.util
import filecmp
import io
import json
import os
import select
import shutil
import signal
import subprocess
import time
import urllib.error
import urllib.request
import zipfile


class StepFailed(Exception):
    """A step of the session did not do what it must; the message says what and where."""


def log(text):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {text}", flush=True)


def wait_until(fn, timeout, what, interval=0.1):
    """Polls fn until it returns something truthy; StepFailed after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = fn()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise StepFailed(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


# ---- X display ------------------------------------------------------------------------------

class Display:
    """Xvfb on a display number it picks itself (-displayfd), and the input tools on it."""

    def __init__(self, workdir):
        self.proc = None
        self.name = None
        self.env = None
        self.log_path = os.path.join(workdir, "xvfb.log")

    def start(self):
        rfd, wfd = os.pipe()
        with open(self.log_path, "wb") as logf:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten",
                 "tcp", "-noreset"], pass_fds=(wfd,), stdout=logf, stderr=logf,
                start_new_session=True)
        os.close(wfd)
        text = b""
        deadline = time.monotonic() + 30
        while not text.endswith(b"\n") and time.monotonic() < deadline:
            if not select.select([rfd], [], [], 0.5)[0]:
                continue
            chunk = os.read(rfd, 64)
            if not chunk:
                break
            text += chunk
        os.close(rfd)
        if not text.strip().isdigit():
            raise StepFailed(f"Xvfb did not report its display (see {self.log_path})")
        self.name = ":" + text.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)
        log(f"Xvfb runs on display {self.name}")

    def stop(self):
        stop_process(self.proc, "Xvfb")

    def tool(self, *args, check=True, timeout=20):
        result = subprocess.run(list(args), env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise StepFailed(f"{' '.join(args)} failed ({result.returncode}): "
                             f"{result.stderr.strip()}")
        return result.stdout

    def xdotool(self, *args, check=True):
        return self.tool("xdotool", *args, check=check)

    def visible_windows(self, title="ZAV"):
        """{window id: (x, y, width, height)} of the mapped windows with this exact title."""
        out = self.xdotool("search", "--onlyvisible", "--name", f"^{title}$", check=False)
        windows = {}
        for line in out.split():
            if line.isdigit():
                geometry = self.geometry(int(line))
                if geometry:
                    windows[int(line)] = geometry
        return windows

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", str(wid), check=False)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        try:
            return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        except (KeyError, ValueError):
            return None

    def focus(self, wid):
        # No window manager runs, so focus is set directly (XSetInputFocus).
        self.xdotool("windowraise", str(wid), check=False)
        self.xdotool("windowfocus", "--sync", str(wid))

    def click(self, wid, rect):
        """Clicks the middle of rect (client pixels of window wid) with the left button."""
        x, y, _, _ = self.geometry(wid)
        rx, ry, rw, rh = rect
        self.focus(wid)
        self.click_point(int(x + rx + rw / 2), int(y + ry + rh / 2))

    def click_point(self, px, py):
        """Clicks the screen pixel (px, py) with the left button."""
        # "mousemove --sync" waits for the pointer to move: one already there would keep it
        # waiting for its time-out, so the pointer first steps aside by one pixel.
        here = dict(line.split("=", 1) for line in
                    self.xdotool("getmouselocation", "--shell").splitlines() if "=" in line)
        if (here.get("X"), here.get("Y")) == (str(px), str(py)):
            self.xdotool("mousemove", "--sync", str(px - 1), str(py))
        self.xdotool("mousemove", "--sync", str(px), str(py))
        time.sleep(0.2)  # the skinned button sees the hover before the press
        self.xdotool("click", "1")

    def type_text(self, text):
        self.xdotool("type", "--delay", "40", text)

    def key(self, *keys):
        self.xdotool("key", "--delay", "60", *keys)

    def screenshot(self, path):
        self.tool("import", "-window", "root", path, timeout=60)

    def close_window(self, wid):
        """Sends WM_DELETE_WINDOW, as a window manager's close box does."""
        libname = ctypes.util.find_library("X11")
        if not libname:
            raise StepFailed("libX11 not found: cannot send WM_DELETE_WINDOW")
        x11 = ctypes.cdll.LoadLibrary(libname)
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

        class XEvent(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        dpy = x11.XOpenDisplay(self.name.encode())
        if not dpy:
            raise StepFailed(f"cannot open display {self.name}")
        try:
            event = XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = wid
            event.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            event.xclient.format = 32
            event.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            event.xclient.data[1] = 0  # CurrentTime
            if not x11.XSendEvent(dpy, wid, 0, 0, ctypes.byref(event)):
                raise StepFailed("XSendEvent failed")
            x11.XFlush(dpy)
        finally:
            x11.XCloseDisplay(dpy)


def read_json_lines(path, what):
    """The objects of a file the program appends one JSON object a line to (its message log,
    its control map); a line counts once its newline is written. [] while there is no file."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    entries = []
    for line in data.split(b"\n")[:-1]:
        try:
            entries.append(json.loads(line.decode("utf-8")))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise StepFailed(f"bad line in the {what}: {line!r} ({error})")
    return entries


def stop_process(proc, what, sig=signal.SIGTERM, timeout=15):
    """Stops one process this script started; returns its exit status (None if not started)."""
    if proc is None:
        return None
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            log(f"{what} did not stop after {sig.name}; killing it")
            proc.kill()
            proc.wait(timeout)
    return proc.returncode


# ---- zav-service ----------------------------------------------------------------------------

class Service:
    def __init__(self, binary, workdir):
        self.binary = binary
        self.data = os.path.join(workdir, "service-data")
        self.log_path = os.path.join(workdir, "service.log")
        self.proc = None
        self.http = None
        self.https = None
        # Fast password hashing under the sanitizers; the test does not measure it.
        self.env = dict(os.environ, ZAV_SERVICE_HASH_ITERATIONS="1000")

    def add_member(self, member_id, password, nickname):
        result = subprocess.run(
            [self.binary, "member", "add", "--data", self.data, member_id, password, nickname],
            env=self.env, capture_output=True, text=True, timeout=120)
        if result.returncode != 0:
            raise StepFailed(f"member add failed: {result.stderr.strip()}")

    def start(self):
        out_path = self.log_path + ".out"
        with open(self.log_path, "wb") as logf, open(out_path, "wb") as outf:
            # --capacity-mb: the free-space answer must not depend on this machine's disk.
            self.proc = subprocess.Popen(
                [self.binary, "serve", "--data", self.data, "--http", "127.0.0.1:0",
                 "--https", "127.0.0.1:0", "--capacity-mb", "100000", "--max-upload-mb", "200"],
                env=self.env, stdout=outf, stderr=logf, start_new_session=True)

        def listeners():
            ports = {}
            with open(out_path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    parts = line.split()
                    if len(parts) == 3 and parts[0] == "listening":
                        ports[parts[1]] = parts[2].rsplit(":", 1)[1]
            if "http" in ports and "https" in ports:
                return ports
            if self.proc.poll() is not None:
                raise StepFailed(f"zav-service ended with status {self.proc.returncode} "
                                 f"(see {self.log_path})")
            return None

        ports = wait_until(listeners, 60, "zav-service to report its listeners")
        self.http = f"http://127.0.0.1:{ports['http']}"
        self.https = f"https://127.0.0.1:{ports['https']}"
        log(f"zav-service: {self.http} and {self.https}")

    def stop(self):
        return stop_process(self.proc, "zav-service")

    def request_count(self, method, path):
        """How many requests for path the service has answered so far (from its log)."""
        needle = f" {method} {path} "
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return sum(1 for line in f if needle in line)

    @property
    def ca_file(self):
        return os.path.join(self.data, "tls", "cert.pem")

    def fetch_archive(self, member_id, name):
        """(HTTP status, body) of GET /Kelpo/UserData/<id>/<name>."""
        url = f"{self.http}/Kelpo/UserData/{member_id}/{name}"
        try:
            with urllib.request.urlopen(url, timeout=60) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()


# ---- folders --------------------------------------------------------------------------------

def tree(root):
    """(set of relative folder paths, set of relative file paths) under root."""
    dirs, files = set(), set()
    for base, subdirs, names in os.walk(root):
        rel = os.path.relpath(base, root)
        for d in subdirs:
            dirs.add(os.path.normpath(os.path.join(rel, d)))
        for n in names:
            files.add(os.path.normpath(os.path.join(rel, n)))
    return dirs, files


def compare_trees(actual, expected, what, skip_top=()):
    """List of differences between two folder trees, compared byte for byte."""
    if not os.path.isdir(actual):
        return [f"{what}: {actual} is missing"]
    a_dirs, a_files = tree(actual)
    e_dirs, e_files = tree(expected)

    def keep(p):
        return p.split(os.sep, 1)[0] not in skip_top

    a_dirs = {p for p in a_dirs if keep(p)}
    a_files = {p for p in a_files if keep(p)}
    e_dirs = {p for p in e_dirs if keep(p)}
    e_files = {p for p in e_files if keep(p)}
    problems = []
    for p in sorted(e_files - a_files)[:10]:
        problems.append(f"{what}: file missing: {p}")
    for p in sorted(a_files - e_files)[:10]:
        problems.append(f"{what}: unexpected file: {p}")
    for p in sorted(e_dirs - a_dirs)[:10]:
        problems.append(f"{what}: folder missing: {p}")
    for p in sorted(a_dirs - e_dirs)[:10]:
        problems.append(f"{what}: unexpected folder: {p}")
    differing = [p for p in sorted(a_files & e_files)
                 if not filecmp.cmp(os.path.join(actual, p), os.path.join(expected, p),
                                    shallow=False)]
    for p in differing[:10]:
        problems.append(f"{what}: content differs: {p}")
    # The archives carry the read-only attribute: the owner's write permission must survive.
    for p in sorted(a_files & e_files):
        a_ro = not os.stat(os.path.join(actual, p)).st_mode & 0o200
        e_ro = not os.stat(os.path.join(expected, p)).st_mode & 0o200
        if a_ro != e_ro:
            problems.append(f"{what}: {p} is {'read-only' if a_ro else 'writable'}, expected "
                            f"{'read-only' if e_ro else 'writable'}")
    if not problems:
        log(f"{what}: {len(a_files)} files in {len(a_dirs)} folders equal byte for byte")
    return problems


def reset_copies(game):
    """The dated folders under Ralum/Reset that initialize made, oldest first."""
    reset = os.path.join(game, "Ralum", "Reset")
    if not os.path.isdir(reset):
        return []
    # yyyymmdd-hhmmss, then -2, -3 ... within one second
    return [os.path.join(reset, n) for n in sorted(os.listdir(reset), key=lambda n: (n[:15], len(n), n))]


def initialize_problems(game, before):
    """What is wrong with a game folder after one initialize, against its copy taken before:
    Fonts, Interface and WTF moved whole into the one dated copy under Ralum/Reset, and the
    rest of the folder and of Ralum untouched."""
    problems = [f"{name} still exists after initialize" for name in
                ("Fonts", "Interface", "WTF") if os.path.exists(os.path.join(game, name))]
    copies = reset_copies(game)
    if len(copies) != 1:
        problems.append(f"expected one copy under Ralum/Reset, found {copies}")
    for name in ("Fonts", "Interface", "WTF"):
        problems += compare_trees(os.path.join(copies[-1] if copies else "", name),
                                  os.path.join(before, name), f"Ralum/Reset/<time>/{name}")
    problems += compare_trees(game, before, "initialized game folder",
                              skip_top={"Fonts", "Interface", "WTF", "Ralum"})
    problems += compare_trees(os.path.join(game, "Ralum"), os.path.join(before, "Ralum"),
                              "Ralum", skip_top={"Reset"})
    return problems


def print_logs(msg_log, logs, lines):
    """For a failed session: the message boxes shown, then the last lines of each (title, path)
    of logs (a path may be None)."""
    print("---- message log (" + msg_log + ") ----")
    try:
        with open(msg_log, encoding="utf-8", errors="replace") as f:
            print(f.read().rstrip() or "(empty)")
    except FileNotFoundError:
        print("(no box was shown)")
    for title, path in logs:
        print(f"---- {title} (last {lines} lines of {path}) ----")
        try:
            with open(path or "", encoding="utf-8", errors="replace") as f:
                print("".join(f.readlines()[-lines:]).rstrip())
        except FileNotFoundError:
            print("(none)")


def archive_problems(data, category_dir, saved_root, name):
    """Checks one stored archive against the saved game folder: the same files, same bytes."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        bad = archive.testzip()
    except zipfile.BadZipFile as error:
        return [f"{name}: not a zip archive ({error})"]
    if bad is not None:
        return [f"{name}: CRC error in {bad}"]
    problems, files = [], {}
    for info in archive.infolist():
        raw = info.filename
        if not info.flag_bits & 0x800:  # stored in CP949; zipfile decoded it as CP437
            raw = raw.encode("cp437").decode("cp949")
        if not raw.startswith(category_dir + "/"):
            problems.append(f"{name}: entry outside {category_dir}/: {raw}")
        if not raw.endswith("/"):
            files[raw] = info
    _, expected = tree(os.path.join(saved_root, category_dir))
    expected = {category_dir + "/" + p.replace(os.sep, "/") for p in expected}
    for p in sorted(expected - files.keys())[:10]:
        problems.append(f"{name}: file missing from the archive: {p}")
    for p in sorted(files.keys() - expected)[:10]:
        problems.append(f"{name}: unexpected entry: {p}")
    for p in sorted(expected & files.keys()):
        with open(os.path.join(saved_root, p), "rb") as f:
            if archive.read(files[p]) != f.read():
                problems.append(f"{name}: content differs: {p}")
        # DOS attribute 0x01 (read-only) exactly when the owner cannot write the file.
        read_only = not os.stat(os.path.join(saved_root, p)).st_mode & 0o200
        if bool(files[p].external_attr & 0x01) != read_only:
            problems.append(f"{name}: {p}: attributes 0x{files[p].external_attr:x}, read-only "
                            f"expected {read_only}")
    if not problems:
        log(f"{name}: {len(files)} files, equal to the game folder")
    return problems


def copy_game(game, dest):
    shutil.copytree(game, dest, symlinks=True, ignore=lambda d, names:
                    ["Ralum"] if os.path.samefile(d, game) else [])


# ---- the program's texts --------------------------------------------------------------------

C_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\", "'": "'"}


def source_text(path, anchor):
    """The C++ string literal that follows anchor in the source file path (adjacent literals
    joined, simple escapes decoded), so that the tests compare with the program's own texts."""
    with open(path, encoding="utf-8") as f:
        code = f.read()
    start = code.find(anchor)
    if start < 0 or code.find(anchor, start + 1) >= 0:
        raise StepFailed(f"{path}: {anchor!r} must occur exactly once")
    pos, text, literals = start + len(anchor), [], 0
    while True:
        while pos < len(code) and code[pos] in " \t\r\n=":
            pos += 1
        if pos >= len(code) or code[pos] != '"':
            break
        pos += 1
        while code[pos] != '"':
            if code[pos] == "\\":
                pos += 1
                if code[pos] not in C_ESCAPES:
                    raise StepFailed(f"{path}: escape \\{code[pos]} after {anchor!r}")
                text.append(C_ESCAPES[code[pos]])
            else:
                text.append(code[pos])
            pos += 1
        pos += 1
        literals += 1
    if not literals:
        raise StepFailed(f"{path}: no string literal follows {anchor!r}")
    return "".join(text)


class StepSkipped(Exception):
    """A step cannot run here (a privilege or a tool is missing); the message says why."""
