#!/usr/bin/env python3
"""Makes a synthetic World of Warcraft client folder for the tests and the benchmarks.

usage: make_game_folder.py OUT_DIR [SCALE=1] [SEED=1]

OUT_DIR must not exist or be empty. At SCALE 1 the folder holds about 600 MB in about
27,000 files:
  Interface/AddOns/<addon>/   ~25,000 files, ~420 MB: .lua/.xml/.toc text (deflate ~4-5x),
                              .tga/.blp textures (semi-compressible), .ogg/.ttf media
                              (incompressible); most files 1-50 KB, ~40 of 1-5 MB.
  WTF/                        Config.wtf; Account/<ACCOUNT>/ with account-wide and per
                              character (realm and character names partly in Hangul)
                              SavedVariables (complete Lua tables, .lua.bak beside some),
                              config-cache.wtf, macros-cache.txt, bindings-cache.wtf ...;
                              ~1,500 files, ~60 MB, WeakAuras.lua alone ~12 MB.
  Fonts/                      4 incompressible font files, 2-8 MB each.
  Cache/WDB/koKR/             10 .wdb caches, 100 KB-20 MB, mixed compressibility.
File counts grow with SCALE; the fixed-count files (fonts, caches, the large SavedVariables)
grow in size instead. The same (SCALE, SEED) gives a byte-identical tree: the same names,
contents and modification times. Standard library only.
"""
import math
import os
import random
import struct
import sys

KB = 1 << 10
MB = 1 << 20
EPOCH = 1_704_067_200  # 2024-01-01 UTC; every time stamp is an even number of seconds after it

ACCOUNT = "BYEOLBIT88"
REALMS = ["별빛호수", "은빛바다", "Dawnmere", "바람의언덕"]
CHARACTERS = ["달그림자", "푸른여우", "새벽별", "불꽃주먹", "Eldrinor", "은방울", "검은날개",
              "하늘지기", "Tharvek", "꽃잎사제", "얼음송곳", "모래바람", "Quillane", "천둥발굽"]
HANGUL = ("가각간갈감강개거건검게겨견경고곤골공과관광구군굴궁귀그금기길김까나날남내너노누눈느늘"
          "다단달담대더도동두드들등라란람랑레려로루리마만말매머명모목무문물미바반발밤방배백버"
          "번벌별보복부북불빛사산살새서석선설성세소속손수숲시신실심아안알암야어얼여연영오온"
          "왕용우운울원월위유은음의이인일자작잠장전정조주중지진집창천초추충치칼탑터토파판풀"
          "피하한할해향허호화황흑희")
SYLLABLES = ("ar bel cor dra el fen gor hal is jor kal lor mar nor or pel quel ras sil tor ul "
             "var wyn xa yor zan th ain ash dun ess fal grim hea ith").split()
LUA_API = ("SetPoint SetSize SetText SetTexture SetAlpha SetShown RegisterEvent SetScript "
           "ClearAllPoints SetVertexColor SetFormattedText GetWidth GetHeight Hide Show "
           "SetParent SetFrameLevel EnableMouse SetAtlas SetTexCoord").split()
EVENTS = ("PLAYER_LOGIN ADDON_LOADED PLAYER_ENTERING_WORLD UNIT_AURA UNIT_HEALTH BAG_UPDATE "
          "COMBAT_LOG_EVENT_UNFILTERED GROUP_ROSTER_UPDATE PLAYER_TARGET_CHANGED "
          "SPELL_UPDATE_COOLDOWN CHAT_MSG_ADDON").split()
XML_HEAD = "<Ui xmlns=\"http://www.blizzard.com/wow/ui/\">\n"


class Words:
    """Names and text fragments drawn from one random stream."""

    def __init__(self, rng):
        self.rng = rng

    def name(self, parts=(2, 3)):
        return "".join(self.rng.choices(SYLLABLES, k=self.rng.randint(*parts)))

    def title(self, parts=(2, 3)):
        return self.name(parts).capitalize()

    def hangul(self, lo=2, hi=5):
        return "".join(self.rng.choices(HANGUL, k=self.rng.randint(lo, hi)))

    def vocabulary(self, count):
        return [self.title() if self.rng.random() < 0.4 else self.name() for _ in range(count)]


def log_uniform(rng, lo, hi):
    return int(math.exp(rng.uniform(math.log(lo), math.log(hi))))


def fit(sizes, total):
    """Scales SIZES so that they add up to about TOTAL bytes (each at least 64)."""
    factor = total / max(1, sum(sizes))
    return [max(64, int(s * factor)) for s in sizes]


# ---- text: add-on code and layout ---------------------------------------------------------

def lua_line(words, voc):
    rng, c = words.rng, words.rng.choice
    a, b, k = c(voc), c(voc), rng.randint(0, 400)
    form = rng.randrange(16)
    if form == 0:
        return f"local function {a}{b.capitalize()}(self, {c(voc)}, ...)"
    if form == 1:
        return f"    if not {a} or {a}.{b} == nil then return end"
    if form == 2:
        point = c(["TOPLEFT", "CENTER", "BOTTOM", "RIGHT"])
        return f"    self.{a}:{c(LUA_API)}(\"{point}\", {k}, -{k % 40})"
    if form == 3:
        return f"    for i, {a} in ipairs(self.{b}) do"
    if form == 4:
        return f"        {a}[i] = ({b}[i] or 0) + {k}"
    if form == 5:
        return f"    L[\"{a} {b}\"] = \"{words.hangul()} {words.hangul()}\""
    if form == 6:
        return f"frame:RegisterEvent(\"{c(EVENTS)}\")"
    if form == 7:
        return f"-- {a}: {b} {c(voc)} ({k})"
    if form == 8:
        return f"    local {a} = ns.{b}.{c(voc)}[{k}] or {{}}"
    if form == 9:
        return f"    return string.format(\"%s: %d\", {a}, {k})"
    if form == 10:
        return "    end" if rng.random() < 0.6 else "end"
    if form == 11:
        return f"    {a}.{b} = {{ {k}, {rng.randint(0, 60)}, \"{c(voc)}\" }}"
    if form == 12:
        return f"function ns.{a.capitalize()}:{b.capitalize()}({c(voc)})"
    if form == 13:
        return f"    elseif {a} > {k} then"
    if form == 14:
        return f"--[[ {words.hangul()} {a} {b} ]]"
    return ""


def xml_line(words, voc):
    rng, c = words.rng, words.rng.choice
    a, b, k = c(voc).capitalize(), c(voc).capitalize(), rng.randint(1, 400)
    form = rng.randrange(9)
    if form == 0:
        template = c(voc).capitalize()
        return f"  <Frame name=\"{a}{b}Frame\" parent=\"UIParent\" inherits=\"{template}Template\">"
    if form == 1:
        return f"    <Size x=\"{k}\" y=\"{rng.randint(8, 64)}\"/>"
    if form == 2:
        y = rng.randint(0, 90)
        return f"    <Anchors><Anchor point=\"TOPLEFT\" x=\"{k}\" y=\"-{y}\"/></Anchors>"
    if form == 3:
        return f"    <Texture parentKey=\"{b}\" file=\"Interface\\AddOns\\{a}\\Media\\{c(voc)}\"/>"
    if form == 4:
        return f"    <FontString inherits=\"GameFontNormal\" text=\"{words.hangul()}\"/>"
    if form == 5:
        return f"    <Scripts><OnLoad method=\"On{b}Load\"/></Scripts>"
    if form == 6:
        return "  </Frame>"
    if form == 7:
        return f"  <Script file=\"{c(voc)}.lua\"/>"
    return f"  <Include file=\"{c(voc)}\\{b}.xml\"/>"


def text_file(words, line_fn, voc, size, head, tail="", reuse=2.6):
    """About SIZE bytes of source text. Each distinct line comes back a few times in a file,
    as in real code (REUSE times on average), which puts deflate at about 4-5x."""
    rng = words.rng
    lines_needed = size // 38 + 2
    pool = [line_fn(words, voc).encode() for _ in range(max(16, int(lines_needed / reuse)))]
    body = bytearray(head.encode())
    while len(body) < size:
        body += b"\n".join(rng.choices(pool, k=lines_needed)) + b"\n"
    del body[size:]
    cut = body.rfind(b"\n")
    if cut > 0:
        del body[cut + 1:]
    return bytes(body) + tail.encode()


# ---- binary: textures, media, caches ------------------------------------------------------

def texture(rng, size, magic):
    """Pixel rows over a small palette with transparent stretches: compresses 1.5-3x."""
    levels = rng.randint(6, 40)
    palette = bytes((i * 37 % levels) * (255 // levels) for i in range(256))
    out = bytearray(magic)
    while len(out) < size:
        run = rng.randint(2 * KB, 48 * KB)
        out += bytes(run) if rng.random() < 0.15 else rng.randbytes(run).translate(palette)
    return bytes(out[:size])


def noise(rng, size, magic):
    return (magic + rng.randbytes(max(0, size - len(magic))))[:size]


def wdb_file(words, size, random_share, build):
    """A client cache: a header, then records (id, length, a few integers, Hangul names),
    with some stretches of opaque data in between."""
    rng = words.rng
    records = []
    for _ in range(2000):
        text = (words.hangul(2, 6) + " " + words.hangul(1, 4)).encode()
        payload = struct.pack("<IHB", rng.randint(0, 1 << 20), rng.randint(0, 90),
                              rng.randint(0, 9)) + text + b"\0" + bytes(rng.randint(0, 12))
        records.append(struct.pack("<II", rng.randint(1, 260000), len(payload)) + payload)
    out = bytearray(b"BDIW" + struct.pack("<I4sII", build, b"koKR"[::-1], 512, 0))
    while len(out) < size:
        run = rng.randint(4 * KB, 96 * KB)
        if rng.random() < random_share:
            out += rng.randbytes(run)
        else:
            out += b"".join(rng.choices(records, k=run // 24 + 1))[:run]
    return bytes(out[:size])


# ---- SavedVariables: complete Lua tables --------------------------------------------------

LUA_ESCAPES = [("\\", "\\\\"), ("\"", "\\\""), ("\n", "\\n"), ("\t", "\\t"), ("\r", "\\r")]


def lua_string(text):
    for raw, escaped in LUA_ESCAPES:
        text = text.replace(raw, escaped)
    return f"\"{text}\""


class LuaWriter:
    """Writes SavedVariables the way the client does (tab indents, trailing commas, array
    items numbered in comments), plus long strings of the kind add-ons store code in."""

    def __init__(self, words, voc):
        self.words, self.voc = words, voc

    def scalar(self):
        rng, w = self.words.rng, self.words
        form = rng.randrange(12)
        if form < 3:
            return str(rng.randint(-50, 100000))
        if form == 3:
            return f"{rng.uniform(-1, 400):.4f}"
        if form == 4:
            return rng.choice(("true", "false"))
        if form == 5:
            quoted, word = w.hangul(), rng.choice(self.voc)
            return lua_string(f"{w.hangul()} \"{quoted}\"\n{word}\t{rng.randint(0, 99)}\\")
        if form == 6:
            item = rng.randint(1, 210000)
            return lua_string(f"|cffa335ee|Hitem:{item}::::::::70:::::|h[{w.hangul()}]|h|r")
        if form == 7:
            return f"[[{w.hangul()} {rng.choice(self.voc)}\n{rng.choice(self.voc)}]]"
        if form == 8:
            return (f"[==[function(e, ...)\n  local t = aura_env[\"{rng.choice(self.voc)}\"]\n"
                    f"  return t and t[ [[x]] ] ~= nil -- ]] {w.hangul()}\nend]==]")
        return lua_string(rng.choice(self.voc) if rng.random() < 0.5 else w.hangul())

    def table(self, depth, indent, budget):
        """A table of about BUDGET entries, at most DEPTH levels deep, as lines."""
        rng = self.words.rng
        pad = "\t" * indent
        lines = []
        if rng.random() < 0.3:  # an array
            for i in range(1, rng.randint(1, 6) + 1):
                lines.append(f"{pad}{self.scalar()}, -- [{i}]")
            return lines
        for _ in range(max(1, budget)):
            key = rng.choice(self.voc) if rng.random() < 0.8 else self.words.hangul()
            if depth > 0 and rng.random() < 0.25:
                lines.append(f"{pad}[{lua_string(key)}] = {{")
                lines += self.table(depth - 1, indent + 1, budget // 2)
                lines.append(f"{pad}}},")
            elif rng.random() < 0.1:
                lines.append(f"{pad}[{rng.randint(1, 60)}] = {self.scalar()},")
            else:
                lines.append(f"{pad}[{lua_string(key)}] = {self.scalar()},")
        return lines

    def file(self, variables, size):
        """About SIZE bytes: one assignment per variable, each a table of keyed entries.
        Entries come from a pool of bodies under fresh keys, so large files stay cheap."""
        rng = self.words.rng
        entries = max(2, size // 600)
        pool = ["\n".join(self.table(3, 2, rng.randint(4, 12))) for _ in range(min(48, entries))]
        out = []
        written = 0
        for n, var in enumerate(variables):
            out.append(f"\n{var} = {{\n")
            if n and rng.random() < 0.5:
                out.append("\t-- written by the client at logout\n")
            share = size // len(variables)
            done = 0
            while done < share:
                if rng.random() < 0.7:
                    key = f"{rng.choice(self.voc)} {written}"
                else:
                    key = f"{self.words.hangul()} - {rng.choice(REALMS)}"
                body = rng.choice(pool)
                chunk = f"\t[{lua_string(key)}] = {{\n{body}\n\t}},\n"
                out.append(chunk)
                done += len(chunk.encode())
                written += 1
            out.append("}\n")
        return "".join(out).encode()


# ---- the tree -----------------------------------------------------------------------------

class Tree:
    def __init__(self, root):
        self.root = root
        self.stats = {}
        self.folders = set()
        self.count = 0

    def put(self, rel, data):
        path = os.path.join(self.root, rel)
        folder = os.path.dirname(path)
        if folder not in self.folders:
            os.makedirs(folder, exist_ok=True)
            self.folders.add(folder)
        with open(path, "wb") as f:
            f.write(data)
        self.count += 1
        stamp = EPOCH + 2 * ((self.count * 7919) % 15_000_000)
        os.utime(path, (stamp, stamp))
        top = rel.split("/")[0]
        files, size = self.stats.get(top, (0, 0))
        self.stats[top] = (files + 1, size + len(data))

    def finish(self):
        every = set()
        for folder in self.folders:
            while folder != self.root and folder.startswith(self.root):
                every.add(folder)
                folder = os.path.dirname(folder)
        for folder in sorted(every):
            os.utime(folder, (EPOCH, EPOCH))
        os.utime(self.root, (EPOCH, EPOCH))


def addon_names(seed, scale):
    words = Words(random.Random(f"{seed}/addons"))
    count = max(3, round(140 * scale))
    names = ["WeakAuras"]
    while len(names) < count:
        if len(names) > 4 and words.rng.random() < 0.2:  # a module of an earlier add-on
            names.append(f"{words.rng.choice(names[1:])}_{words.title((1, 2))}")
        else:
            names.append(words.title((2, 4)))
        if names[-1] in names[:-1]:
            names.pop()
    return names


def make_interface(tree, seed, scale, names):
    words = Words(random.Random(f"{seed}/interface"))
    rng = words.rng
    kinds = {  # weight, smallest, largest, subfolders
        "lua": (60, 1 * KB, 50 * KB, ["", "Core", "Modules", "Locales"]),
        "xml": (15, 600, 24 * KB, ["", "Templates", "Modules"]),
        "tga": (12, 2 * KB, 64 * KB, ["Media", "Media/Textures"]),
        "blp": (8, 2 * KB, 64 * KB, ["Art", "Art/Icons"]),
        "ogg": (4, 8 * KB, 160 * KB, ["Sounds"]),
        "ttf": (1, 40 * KB, 300 * KB, ["Fonts"]),
    }
    kind_names = list(kinds)
    weights = [kinds[k][0] for k in kind_names]
    small_count = max(len(names) * 3, round(25_400 * scale) - len(names))
    plan = []  # (addon index, kind, relative path inside the add-on, size)
    share = [rng.paretovariate(1.2) for _ in names]  # a few add-ons hold most files
    for i, name in enumerate(names):
        for j in range(max(2, round(small_count * share[i] / sum(share)))):
            kind = rng.choices(kind_names, weights)[0]
            _, lo, hi, subs = kinds[kind]
            sub = rng.choice(subs)
            file_name = f"{words.title((1, 3))}{j}.{kind}"
            rel = f"{sub}/{file_name}" if sub else file_name
            plan.append((i, kind, rel, log_uniform(rng, lo, hi)))
    sizes = fit([p[3] for p in plan], 365 * MB * scale)
    for n in range(max(1, round(40 * scale))):
        kind = rng.choice(["lua", "lua", "tga", "blp", "ogg", "ttf"])
        rel = f"{kinds[kind][3][0] or 'Data'}/Large{n}.{kind}"
        plan.append((rng.randrange(len(names)), kind, rel, 0))
        sizes.append(log_uniform(rng, 1 * MB, 5 * MB))
    magic = {"tga": b"\0\0\x02\0\0\0\0\0\0\0\0\0\0\x04\0\x04\x20\x08", "blp": b"BLP2\x01\x02\x08\0",
             "ogg": b"OggS\0\x02\0\0", "ttf": b"\0\x01\0\0\0\x10\x01\0"}
    vocabularies = [words.vocabulary(250) for _ in names]
    toc_files = {}
    for (i, kind, rel, _), size in zip(plan, sizes):
        voc = vocabularies[i]
        if kind == "lua":
            data = text_file(words, lua_line, voc, size, "local addonName, ns = ...\n")
        elif kind == "xml":
            data = text_file(words, xml_line, voc, size, XML_HEAD, "</Ui>\n", reuse=1)
        elif kind in ("tga", "blp"):
            data = texture(rng, size, magic[kind])
        else:
            data = noise(rng, size, magic[kind])
        tree.put(f"Interface/AddOns/{names[i]}/{rel}", data)
        if kind in ("lua", "xml"):
            toc_files.setdefault(i, []).append(rel.replace("/", "\\"))
    for i, name in enumerate(names):
        toc = (f"## Interface: 100207\n## Title: |cff40c7eb{name}|r\n"
               f"## Notes-koKR: {words.hangul(3, 8)}\n"
               f"## Version: {rng.randint(1, 9)}.{rng.randint(0, 40)}.{rng.randint(0, 9)}\n"
               f"## SavedVariables: {name}DB\n## SavedVariablesPerCharacter: {name}CharDB\n\n"
               + "".join(f"{f}\n" for f in toc_files.get(i, [])))
        tree.put(f"Interface/AddOns/{name}/{name}.toc", toc.encode())


def settings_text(words, kind, size):
    rng = words.rng
    lines = []
    total = 0
    while total < size:
        if kind == "config":
            line = f"SET {words.name()}{words.title((1, 2))} \"{rng.randint(0, 4000)}\""
        elif kind == "bindings":
            key = rng.choice(["", "SHIFT-", "CTRL-", "ALT-"]) + rng.choice("1234567890QERTFGZXCV")
            line = f"bind {key} {words.name().upper()}_{rng.randint(1, 12)}"
        elif kind == "macros":
            line = (f"MACRO {rng.randint(1, 120)} \"{words.hangul()}\" INV_MISC_QUESTIONMARK\n"
                    f"/cast [@mouseover,help] {words.hangul()}\n/s {words.hangul()}!\nEND")
        elif kind == "addons":
            line = f"{words.title()}: {rng.choice(['enabled', 'enabled', 'disabled'])}"
        else:
            line = f"{rng.randint(1, 60)} {words.hangul()} {words.name()} {rng.randint(0, 9999)}"
        lines.append(line)
        total += len(line.encode()) + 1
    return ("\n".join(lines) + "\n").encode()


def make_wtf(tree, seed, scale, names):
    words = Words(random.Random(f"{seed}/wtf"))
    rng = words.rng
    tree.put("WTF/Config.wtf", settings_text(words, "config", 4 * KB))
    account = f"WTF/Account/{ACCOUNT}"
    realms = REALMS[:max(2, min(len(REALMS), round(4 * scale)))]
    characters = []
    for i in range(max(2, round(12 * scale))):
        suffix = str(i) if i >= len(CHARACTERS) else ""
        characters.append((realms[i % len(realms)], CHARACTERS[i % len(CHARACTERS)] + suffix))
    large = {"WeakAuras": 12 * MB * scale, names[1]: 5 * MB * scale}
    plan = []  # (path, kind, size, scaled to fit)
    for name in names:
        size = large.get(name, log_uniform(rng, 300, 64 * KB))
        plan.append((f"{account}/SavedVariables/{name}.lua", "sv", size, name not in large))
        if rng.random() < 0.5:
            plan.append((f"{account}/SavedVariables/{name}.lua.bak", "sv", size, name not in large))
    for kind, file_name in (("config", "config-cache.wtf"), ("macros", "macros-cache.txt"),
                            ("bindings", "bindings-cache.wtf")):
        plan.append((f"{account}/{file_name}", kind, log_uniform(rng, 1 * KB, 12 * KB), False))
    for realm, character in characters:
        folder = f"{account}/{realm}/{character}"
        for kind, file_name in (("config", "config-cache.wtf"), ("macros", "macros-cache.txt"),
                                ("bindings", "bindings-cache.wtf"), ("layout", "layout-local.txt"),
                                ("addons", "AddOns.txt"), ("chat", "chat-cache.txt")):
            plan.append((f"{folder}/{file_name}", kind, log_uniform(rng, 400, 16 * KB), False))
        for name in rng.sample(names, k=max(1, len(names) // 2)):
            size = log_uniform(rng, 200, 48 * KB)
            plan.append((f"{folder}/SavedVariables/{name}.lua", "svchar", size, True))
            if rng.random() < 0.5:
                plan.append((f"{folder}/SavedVariables/{name}.lua.bak", "svchar", size, True))
    fixed = sum(p[2] for p in plan if not p[3])
    scaled = fit([p[2] for p in plan if p[3]], max(0, 60 * MB * scale - fixed))
    voc = words.vocabulary(400)
    lua = LuaWriter(words, voc)
    for rel, kind, size, to_fit in plan:
        size = int(scaled.pop(0) if to_fit else size)
        name = os.path.basename(rel).split(".")[0]
        if kind == "sv":
            if name == "WeakAuras":
                variables = ["WeakAurasSaved"]
            else:
                variables = [f"{name}DB"] + ([f"{name}GlobalDB"] if rng.random() < 0.3 else [])
            data = lua.file(variables, size)
        elif kind == "svchar":
            data = lua.file([f"{name}CharDB"], size)
        else:
            data = settings_text(words, kind, size)
        tree.put(rel, data)


def make_fonts(tree, seed, scale):
    rng = random.Random(f"{seed}/fonts")
    fonts = (("2002.TTF", 3.1), ("2002B.TTF", 2.4), ("K_DAMAGE.TTF", 7.8), ("K_PAGETEXT.TTF", 5.2))
    for name, mb in fonts:
        size = max(1024, int(mb * MB * scale))
        tree.put(f"Fonts/{name}", noise(rng, size, b"\0\x01\0\0\0\x11\x01\0"))


def make_cache(tree, seed, scale):
    words = Words(random.Random(f"{seed}/cache"))
    caches = [("creaturecache", 19), ("itemcache", 13), ("questcache", 8.5), ("gameobjectcache", 6),
              ("npccache", 4.5), ("pagetextcache", 3.5), ("itemnamecache", 2.6), ("petcache", 1.5),
              ("itemtextcache", 0.8), ("wowcache", 0.1)]
    for n, (name, mb) in enumerate(caches):
        size = max(4 * KB, int(mb * MB * scale))
        tree.put(f"Cache/WDB/koKR/{name}.wdb", wdb_file(words, size, 0.05 + 0.09 * n, 52_106 + n))


def main(argv):
    if len(argv) < 2 or len(argv) > 4:
        sys.exit(__doc__)
    out = os.path.abspath(argv[1])
    try:
        scale = float(argv[2]) if len(argv) > 2 else 1.0
        seed = int(argv[3]) if len(argv) > 3 else 1
    except ValueError:
        sys.exit(f"make_game_folder.py: SCALE must be a number and SEED an integer\n{__doc__}")
    if not 0 < scale <= 20:
        sys.exit("make_game_folder.py: SCALE must be above 0 and at most 20")
    if os.path.exists(out) and os.listdir(out):
        sys.exit(f"make_game_folder.py: {out} is not empty")
    os.makedirs(out, exist_ok=True)
    tree = Tree(out)
    names = addon_names(seed, scale)
    make_interface(tree, seed, scale, names)
    make_wtf(tree, seed, scale, names)
    make_fonts(tree, seed, scale)
    make_cache(tree, seed, scale)
    tree.finish()
    total_files = total_bytes = 0
    print(f"{'folder':<16}{'files':>8}{'MB':>9}")
    for top in ("Interface", "WTF", "Fonts", "Cache"):
        files, size = tree.stats.get(top, (0, 0))
        total_files, total_bytes = total_files + files, total_bytes + size
        print(f"{top:<16}{files:>8}{size / MB:>9.1f}")
    print(f"{'total':<16}{total_files:>8}{total_bytes / MB:>9.1f}")


if __name__ == "__main__":
    main(sys.argv)
