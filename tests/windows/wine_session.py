"""The pieces of the Windows tests under Wine: a prefix made by scripts/wine-session-prefix (or
a bare one for console programs), programs run in it, its registry read back, and, on an Xvfb
display (e2e_harness.Display), the Windows window worked through its test seams: the control
map it writes (ZAV_CONTROL_MAP: one line per control of each window that opens, in screen
pixels) and its message log (ZAV_MESSAGE_LOG). Controls are clicked by id, text is typed,
message boxes (title "ZAV") are answered with keys, the screen is shot.

Wine draws the windows itself here (Decorated=N, no window manager), so a window's X
geometry is the Windows window's rectangle, and screen pixels are the X root's.
Python 3 standard library only.
"""
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
from e2e_harness import (Display, StepFailed, log, read_json_lines, stop_process,  # noqa: E402
                         wait_until)

__all__ = ["Display", "StepFailed", "WinePrefix", "WineWindows", "log", "read_registry",
           "changed_paths", "snapshot", "stop_program", "wait_until"]

SESSION_PREFIX_SCRIPT = os.path.join(SOURCE_DIR, "scripts", "wine-session-prefix")
# No Mono or Gecko installers, no menu entries on the host: as scripts/wine-run.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def wine_binary():
    for candidate in ("/usr/lib/wine/wine64", shutil.which("wine64"), shutil.which("wine")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise StepFailed("Wine not found (Debian package wine64)")


class WinePrefix:
    """One Wine prefix and the environment its programs run with."""

    def __init__(self, prefix, env=None):
        self.prefix = os.path.abspath(prefix)
        self.wine = wine_binary()
        self.wineserver = os.path.join(os.path.dirname(self.wine), "wineserver")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update({"WINEPREFIX": self.prefix, "WINEDLLOVERRIDES": DLL_OVERRIDES})
        self.env.setdefault("WINEDEBUG", "-all")
        self.env.update(env or {})

    @classmethod
    def bare(cls, prefix):
        """A fresh prefix as Wine makes it (no locale, fonts or certificates of its own)."""
        self = cls(prefix)
        self.kill()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self.run(["wineboot", "--init"], timeout=180, what="wineboot --init")
        self.wait_idle()
        return self

    @classmethod
    def session(cls, session_dir, ca_file=None):
        """A fresh prefix for a member's session (scripts/wine-session-prefix): Korean locale
        and fonts, Wine's own window frames, the service's certificate trusted."""
        command = [sys.executable, SESSION_PREFIX_SCRIPT, session_dir]
        if ca_file:
            command += ["--ca", ca_file]
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=300)
        if done.returncode != 0:
            raise StepFailed(f"wine-session-prefix failed: {done.stderr.strip()}")
        env = {}
        with open(os.path.join(session_dir, "env"), encoding="utf-8") as f:
            for line in f:
                name, _, value = line.rstrip("\n").partition("=")
                env[name] = shlex.split(value)[0] if value else ""
        return cls(env["WINEPREFIX"], env)

    # -- paths --

    def drive_c(self, *parts):
        """The host path of C:\\ joined with parts."""
        return os.path.join(self.prefix, "drive_c", *parts)

    @staticmethod
    def windows_path(host_path):
        """A host path as programs in the prefix name it (Wine shows / as Z:)."""
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

    def host_path(self, windows_path):
        """A C: or Z: path of the prefix as a host path."""
        drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
        if drive == "C:":
            return self.drive_c(rest)
        if drive == "Z:":
            return "/" + rest
        raise StepFailed(f"no host path for {windows_path}")

    # -- programs --

    def run(self, args, timeout=120, env=None, what=None):
        """Runs a program in the prefix to its end; (exit code, stdout, stderr). A Windows GUI
        program started this way (an installer) may return before its work is done:
        wait_idle waits for every program of the prefix."""
        try:
            done = subprocess.run([self.wine] + list(args), env=dict(self.env, **(env or {})),
                                  stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            raise StepFailed(f"{what or args[0]} did not end within {timeout} s")
        if what and done.returncode != 0:
            raise StepFailed(f"{what} failed ({done.returncode}): "
                             f"{done.stderr.decode(errors='replace').strip()}")
        return done.returncode, done.stdout, done.stderr

    def start(self, args, display, env=None, log_path=None, cwd=None):
        """Starts a program in the prefix on the display, in the host folder cwd (the
        program's current folder is that folder's Windows path); returns its Popen."""
        out = open(log_path, "ab") if log_path else subprocess.DEVNULL
        try:
            return subprocess.Popen([self.wine] + list(args),
                                    env=dict(self.env, DISPLAY=display.name, **(env or {})),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    cwd=cwd, start_new_session=True)
        finally:
            if log_path:
                out.close()

    def wait_idle(self, timeout=120):
        """Waits until every program of the prefix has ended and its server is gone (an NSIS
        uninstaller returns at once and goes on in a copy of itself)."""
        try:
            subprocess.run([self.wineserver, "-w"], env=self.env, timeout=timeout,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise StepFailed(f"programs of {self.prefix} still ran after {timeout} s")

    def kill(self):
        """Ends the prefix's server and every program still running in it."""
        if os.path.isdir(self.prefix):
            subprocess.run([self.wineserver, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def registry(self, hive="system"):
        """The prefix's registry file of HKEY_LOCAL_MACHINE ("system") or HKEY_CURRENT_USER
        ("user"), read as {key: {value name: value}}."""
        return read_registry(os.path.join(self.prefix, hive + ".reg"))


def _reg_unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = text[i]
            if c == "x":  # \xHHHH: a UTF-16 unit
                j = i + 1
                while j < len(text) and j < i + 5 and text[j] in "0123456789abcdefABCDEF":
                    j += 1
                out.append(chr(int(text[i + 1:j], 16)))
                i = j
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(c, c))
        else:
            out.append(c)
        i += 1
    return "".join(out)


def _reg_quoted(text, start):
    """(the quoted string at text[start] unescaped, index after its closing quote)."""
    i = start + 1
    while text[i] != '"':
        i += 2 if text[i] == "\\" else 1
    return _reg_unescape(text[start + 1:i]), i + 1


def read_registry(path):
    """A registry file of Wine's (WINE REGISTRY Version 2) as {key: {value name: value}}: keys
    relative to the hive, as Windows spells them; strings as str, dwords as int, other types
    as (type, bytes). The default value is named ""."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    keys, values, i = {}, None, 0
    while i < len(lines):
        line = lines[i]
        while line.endswith("\\") and i + 1 < len(lines):  # hex data goes on the next line
            i += 1
            line = line[:-1] + lines[i].lstrip()
        i += 1
        if line.startswith("["):
            end = line.index("]")
            values = keys.setdefault(_reg_unescape(line[1:end]), {})
        elif values is not None and (line.startswith('"') or line.startswith("@=")):
            if line.startswith("@="):
                name, rest = "", line[2:]
            else:
                name, after = _reg_quoted(line, 0)
                rest = line[after + 1:]
            if rest.startswith('"'):
                values[name] = _reg_quoted(rest, 0)[0]
            elif rest.startswith("dword:"):
                values[name] = int(rest[6:], 16)
            elif rest.startswith("hex"):
                kind, _, data = rest.partition(":")
                values[name] = (kind, bytes(int(b, 16) for b in data.split(",") if b))
            else:
                values[name] = rest
    return keys


class WineWindows:
    """The Windows window of a program under Wine on an X display, through its control map
    and message log."""

    TITLE = "ZAV"

    def __init__(self, display, control_map, message_log):
        self.display = display
        self.control_map = control_map
        self.message_log = message_log
        self.seen = 0  # message log entries already taken by next_message
        # The X window each window was found in by wait_window. A window's controls alone do
        # not name it: the main window is larger than the login dialog and covers the place
        # of all its controls.
        self.wids = {}

    # -- windows and controls --

    def controls(self, window):
        """{control id: (x, y, w, h)} of the latest opening of window ("login", "main")."""
        found = {}
        for entry in read_json_lines(self.control_map, "control map"):
            if entry.get("window") == window:
                found[int(entry["id"])] = tuple(int(entry[k]) for k in ("x", "y", "w", "h"))
        return found

    def wait_window(self, window, ids, timeout=60, alive=None):
        """Waits until window has reported the controls ids and an X window with the
        program's title holds them all, one not taken by another of its windows; returns that
        X window's id, which window_of names from then on."""
        def shown():
            if alive:
                alive()
            found = self.controls(window)
            if not all(i in found for i in ids):
                return None
            taken = {wid for name, wid in self.wids.items() if name != window}
            for wid, geometry in self.display.visible_windows(self.TITLE).items():
                if wid not in taken and all(_inside(found[i], geometry) for i in ids):
                    return wid
            return None
        self.wids[window] = wait_until(shown, timeout,
                                       f"the {window} window with controls {list(ids)}",
                                       interval=0.25)
        return self.wids[window]

    def window_of(self, window):
        """The X window of window while it is on the screen, else None: the one wait_window
        found, or else the one that holds every reported control of window."""
        visible = self.display.visible_windows(self.TITLE)
        if window in self.wids:
            return self.wids[window] if self.wids[window] in visible else None
        found = self.controls(window)
        for wid, geometry in visible.items():
            if found and all(_inside(r, geometry) for r in found.values()):
                return wid
        return None

    def click(self, window, control_id):
        """Focuses the window and clicks the middle of one of its controls."""
        rect = self.controls(window).get(control_id)
        if rect is None:
            raise StepFailed(f"control {control_id} of the {window} window is not in the map")
        wid = self.window_of(window)
        if wid is None:
            raise StepFailed(f"the {window} window is not on the screen")
        self.display.focus(wid)
        x, y, w, h = rect
        self.display.click_point(x + w // 2, y + h // 2)

    def type_into(self, window, control_id, text):
        """Clicks a one-line edit control, selects what it holds and types text over it (Wine's
        edit control has no Ctrl+A)."""
        self.click(window, control_id)
        self.display.key("End", "shift+Home")
        self.display.type_text(text)

    # -- message boxes --

    def messages(self):
        return read_json_lines(self.message_log, "message log")

    def next_message(self, timeout, what, alive=None):
        """Waits for the next entry of the message log; returns it ({kind, text})."""
        def next_entry():
            if alive:
                alive()
            entries = self.messages()
            return entries[self.seen] if len(entries) > self.seen else None
        entry = wait_until(next_entry, timeout, what, interval=0.25)
        self.seen += 1
        return entry

    def boxes(self, windows=("login", "main")):
        """{X window: geometry} of the visible message boxes: the windows titled "ZAV" that
        are not one of the program's own windows."""
        own = {self.window_of(w) for w in windows}
        return {wid: g for wid, g in self.display.visible_windows(self.TITLE).items()
                if wid not in own}

    def answer(self, key="Return", timeout=30, shot=None, alive=None):
        """Answers the newest message box with a key and waits until it closes: "Return" its
        default button, "y" or "n" a Yes/No box's buttons by their mnemonics (예(Y), 아니요(N)),
        "Escape" the only button of an OK box (and, under Wine, No of a Yes/No box).
        shot: a screenshot of the screen while the box is open."""
        boxes = wait_until(lambda: (alive() if alive else None) or self.boxes(), timeout,
                           "a message box to appear", interval=0.25)
        wid = max(boxes)  # X window ids grow: the newest box
        time.sleep(0.3)  # let it paint
        if shot:
            self.display.screenshot(shot)
        self.display.focus(wid)
        self.display.key(key)
        wait_until(lambda: (alive() if alive else None) or wid not in self.boxes(), timeout,
                   f"the message box to close after {key}", interval=0.25)

    def screenshot(self, path):
        self.display.screenshot(path)
        log(f"screenshot {os.path.basename(path)}")


def _inside(rect, geometry):
    x, y, w, h = rect
    gx, gy, gw, gh = geometry
    return gx <= x and gy <= y and x + w <= gx + gw and y + h <= gy + gh


def snapshot(root):
    """{relative path: (SHA-256 of its bytes, read-only), or "folder"} of everything under
    root, to tell whether anything in it changed."""
    found = {}
    for base, dirs, names in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(base, d), root)] = "folder"
        for n in names:
            path = os.path.join(base, n)
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            found[os.path.relpath(path, root)] = (digest, not os.stat(path).st_mode & 0o200)
    return found


def changed_paths(before, after):
    """The paths two snapshots disagree on (added, removed or changed), sorted."""
    return sorted(set(after) ^ set(before) |
                  {p for p in set(after) & set(before) if after[p] != before[p]})


def stop_program(proc, prefix, what):
    """Ends a program started with WinePrefix.start, and whatever it left in the prefix."""
    status = stop_process(proc, what)
    prefix.kill()
    return status
