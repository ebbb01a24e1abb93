#!/usr/bin/env python3
"""Registers the component natively (kelmyr register, in a scratch hive) and
under Wine (regsvr32, in a throw-away prefix), exports the keys it owns from
both with "reg export", and compares them with the module's path and folder
written <MODULE> and <DIR>. Then unregisters both and checks that none of
those keys is left. Exit status 0 when both builds agree.

usage: registration-parity.py KELMYR NATIVE_MODULE WINDOWS_MODULE
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

IDL = pathlib.Path(__file__).resolve().parent.parent / "datastore" / "kelmyr.idl"


def identifiers():
    """The AppID, the type library's, the classes' and the interfaces'
    identifiers, read from the interface definition they are fixed in."""
    idl = IDL.read_text()
    appid = re.search(r'KELMYR_APPID_STRING OLESTR\(\\"(\{[^}]+\})', idl).group(1)
    named = re.findall(r"uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*(interface|library|coclass)\s+(\w+)", idl)
    of = lambda kind: {name: "{" + u.upper() + "}" for u, k, name in named if k == kind}
    return appid, next(iter(of("library").values())), of("coclass"), list(of("interface").values())


APPID, LIBID, CLASSES, INTERFACES = identifiers()
SUBTREES = (
    [f"AppID\\{APPID}", "AppID\\qv.kelmyr.dll", f"TypeLib\\{LIBID}"]
    + [k for n, c in CLASSES.items()
       for k in (f"qv.kelmyr.{n}", f"qv.kelmyr.{n}.1", f"CLSID\\{c}")]
    + [f"Interface\\{i}" for i in INTERFACES]
)
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def reg_escape(text):
    return text.replace("\\", "\\\\")


def parse(reg_bytes, module, folder):
    """The lines of an exported .reg file as a set, values per key."""
    text = reg_bytes.decode("utf-16") if reg_bytes[:2] == b"\xff\xfe" else reg_bytes.decode()
    lines, key = set(), None
    for line in text.lstrip("\ufeff").splitlines():
        line = line.strip()
        if not line or line.startswith("Windows Registry Editor"):
            continue
        if line.startswith("["):
            key = re.sub(r"^\[(HKCR|HKEY_CLASSES_ROOT)", "[HKCR", line, flags=re.I)
            lines.add(key)
            continue
        for path, mark in ((module, "<MODULE>"), (folder, "<DIR>")):
            line = line.replace('"' + reg_escape(path) + '"', '"' + mark + '"')
        lines.add(key + " " + line)
    return lines


def export_all(run_reg, work, tag):
    lines_by_tree = {}
    for i, tree in enumerate(SUBTREES):
        out = work / f"{tag}-{i}.reg"
        if out.exists():
            out.unlink()
        run_reg(["export", f"HKEY_CLASSES_ROOT\\{tree}", str(out), "/y"])
        lines_by_tree[tree] = out.read_bytes() if out.exists() else b""
    return lines_by_tree


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    kelmyr, native_module, windows_module = (os.path.abspath(p) for p in sys.argv[1:])
    work = pathlib.Path(tempfile.mkdtemp(prefix="kelmyr-parity."))
    prefix = work / "wineprefix"
    try:
        env = dict(os.environ, KELMYR_REGISTRY=str(work / "registry.db"),
                   KELMYR_DPAPI_KEYS=str(work), HOME=str(work), XDG_STATE_HOME=str(work))
        os.makedirs(prefix)

        def native(args, check=True):
            return subprocess.run([kelmyr] + args, env=env, check=check,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def native_reg(args):
            native(["reg"] + args, check=False)

        wenv = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=")
        wenv.pop("DISPLAY", None)

        def wine(args, check=True):
            return subprocess.run([WINE] + args, env=wenv, check=check, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def wine_reg(args):
            wine(["reg"] + args, check=False)

        subprocess.run([WINESERVER, "-p"], env=wenv, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wine(["wineboot", "--init"], check=False)
        wine_path = "Z:" + windows_module.replace("/", "\\")

        native(["register", native_module])
        wine(["regsvr32", "/s", wine_path])
        got_native = export_all(native_reg, work, "native")
        got_wine = export_all(wine_reg, work, "wine")
        failures = 0
        for tree in SUBTREES:
            n = parse(got_native[tree], native_module, os.path.dirname(native_module))
            w = parse(got_wine[tree], wine_path, wine_path.rsplit("\\", 1)[0])
            if not n or n != w:
                failures += 1
                print(f"differs: {tree}")
                for line in sorted(n - w):
                    print(f"  native only: {line}")
                for line in sorted(w - n):
                    print(f"  wine only:   {line}")
        native(["unregister", native_module])
        wine(["regsvr32", "/s", "/u", wine_path])
        for tag, got in (("native", export_all(native_reg, work, "native-after")),
                         ("wine", export_all(wine_reg, work, "wine-after"))):
            for tree, data in got.items():
                if data:
                    failures += 1
                    print(f"left after unregistration ({tag}): {tree}")
        print(f"{len(SUBTREES)} subtrees compared, {failures} differences")
        return 1 if failures else 0
    finally:
        subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=str(prefix)),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=dict(os.environ, WINEPREFIX=str(prefix)),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
