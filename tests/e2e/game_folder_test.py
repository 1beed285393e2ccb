#!/usr/bin/env python3
"""Checks bench/make_game_folder.py at a small scale: the same seed gives the same tree (names,
bytes, modification times), another seed another one; the layout the tests rely on is there;
every SavedVariables file parses as Lua assignments of tables.

usage: game_folder_test.py GENERATOR WORK_DIR
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys

SCALE = "0.01"

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>--\[(?P<cl>=*)\[.*?\](?P=cl)\]|--[^\n]*)
  | (?P<string>\[(?P<sl>=*)\[.*?\](?P=sl)\]|"(?:[^"\\\n]|\\.)*")
  | (?P<number>-?\d+(?:\.\d+)?)
  | (?P<name>[A-Za-z_]\w*)
  | (?P<symbol>[{}\[\]=,;])""", re.S | re.X)


def lua_tokens(text):
    pos, out = 0, []
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise ValueError(f"no Lua token at offset {pos}: {text[pos:pos + 20]!r}")
        if m.lastgroup not in ("space", "comment"):
            out.append((m.lastgroup, m.group()))
        pos = m.end()
    return out


def check_saved_variables(text):
    """Raises ValueError unless TEXT is a sequence of `Name = { ... }` assignments."""
    tokens = lua_tokens(text) + [("end", "")]
    pos = 0

    def take(kind, value=None):
        nonlocal pos
        k, v = tokens[pos]
        if k != kind or (value is not None and v != value):
            raise ValueError(f"expected {value or kind} at token {pos}, found {v!r}")
        pos += 1

    def value():
        nonlocal pos
        k, v = tokens[pos]
        if v == "{":
            pos += 1
            table()
        elif k in ("string", "number") or v in ("true", "false", "nil"):
            pos += 1
        else:
            raise ValueError(f"no value at token {pos}: {v!r}")

    def table():
        while tokens[pos][1] != "}":
            if tokens[pos][1] == "[":
                take("symbol", "[")
                value()
                take("symbol", "]")
                take("symbol", "=")
            value()
            if tokens[pos][1] not in (",", ";"):
                break
            take("symbol")
        take("symbol", "}")

    while tokens[pos][0] != "end":
        take("name")
        take("symbol", "=")
        take("symbol", "{")
        table()


def tree_digest(root):
    digest = hashlib.sha256()
    for base, folders, files in os.walk(root):
        folders.sort()
        for name in sorted(files):
            path = os.path.join(base, name)
            digest.update(os.path.relpath(path, root).encode() + b"\0")
            digest.update(str(os.stat(path).st_mtime_ns).encode() + b"\0")
            with open(path, "rb") as f:
                digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def generate(script, out, seed):
    subprocess.run([sys.executable, script, out, SCALE, str(seed)], check=True,
                   stdout=subprocess.DEVNULL)
    return tree_digest(out)


def check_layout(root):
    problems = []
    wtf = os.path.join(root, "WTF")
    account = os.path.join(wtf, "Account", os.listdir(os.path.join(wtf, "Account"))[0])
    saved = []
    for base, _, files in os.walk(wtf):
        saved += [os.path.join(base, f) for f in files if f.endswith((".lua", ".lua.bak"))]
    hangul_characters = [base for base, _, files in os.walk(account)
                         if re.search("[가-힣]", base) and "SavedVariables" in base and files]
    addons = os.listdir(os.path.join(root, "Interface", "AddOns"))
    wdb = os.listdir(os.path.join(root, "Cache", "WDB", "koKR"))
    expectations = [
        (os.path.isfile(os.path.join(wtf, "Config.wtf")), "WTF/Config.wtf"),
        (os.path.isfile(os.path.join(account, "SavedVariables", "WeakAuras.lua")),
         "account-wide WeakAuras.lua"),
        (hangul_characters, "character SavedVariables below Hangul realm/character names"),
        (len(addons) >= 3 and all(os.path.isfile(os.path.join(root, "Interface", "AddOns", a,
                                                               a + ".toc")) for a in addons),
         "three or more add-ons, each with its .toc"),
        (len(os.listdir(os.path.join(root, "Fonts"))) >= 2, "two or more fonts"),
        (len(wdb) == 10 and all(n.endswith(".wdb") for n in wdb), "ten .wdb caches"),
    ]
    problems += [what for ok, what in expectations if not ok]
    for path in saved:
        try:
            with open(path, encoding="utf-8") as f:
                check_saved_variables(f.read())
        except ValueError as e:
            problems.append(f"{os.path.relpath(path, root)}: {e}")
    # The check itself must see a cut-off file.
    with open(os.path.join(account, "SavedVariables", "WeakAuras.lua"), encoding="utf-8") as f:
        text = f.read()
    try:
        check_saved_variables(text[:len(text) * 2 // 3])
        problems.append("a SavedVariables file cut at two thirds passed the check")
    except ValueError:
        pass
    return problems


def main():
    script, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    first = generate(script, os.path.join(work, "a"), 1)
    again = generate(script, os.path.join(work, "b"), 1)
    other = generate(script, os.path.join(work, "c"), 2)
    problems = check_layout(os.path.join(work, "a"))
    if first != again:
        problems.append("the same seed gave two different trees")
    if first == other:
        problems.append("seeds 1 and 2 gave the same tree")
    for p in problems:
        print("FAIL:", p)
    if not problems:
        shutil.rmtree(work)
        print("game folder generator: deterministic, layout and SavedVariables as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
