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

# The AppID, and the type library's, classes' and interfaces' identifiers,
# read from the interface definition they are fixed in.
IDL = (pathlib.Path(__file__).resolve().parent.parent / "datastore" / "kelmyr.idl").read_text()
APPID = re.search(r'KELMYR_APPID_STRING OLESTR\(\\"(\{[^}]+\})', IDL).group(1)
NAMED = [(k, n, "{" + u.upper() + "}") for u, k, n in re.findall(
    r"uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*(interface|library|coclass)\s+(\w+)", IDL)]
SUBTREES = [f"AppID\\{APPID}", "AppID\\qv.kelmyr.dll"]
for kind, name, uuid in NAMED:
    SUBTREES += {"library": [f"TypeLib\\{uuid}"], "interface": [f"Interface\\{uuid}"],
                 "coclass": [f"qv.kelmyr.{name}", f"qv.kelmyr.{name}.1", f"CLSID\\{uuid}"]}[kind]
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def parse(data, module, folder):
    """The lines of an exported .reg file as a set, values per key."""
    text = data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode()
    lines, key = set(), None
    for line in (l.strip() for l in text.lstrip("\ufeff").splitlines()):
        if not line or line.startswith("Windows Registry Editor"):
            continue
        if line.startswith("["):
            key = re.sub(r"^\[(HKCR|HKEY_CLASSES_ROOT)", "[HKCR", line, flags=re.I)
            lines.add(key)
            continue
        for path, mark in ((module, "<MODULE>"), (folder, "<DIR>")):
            line = line.replace('"' + path.replace("\\", "\\\\") + '"', '"' + mark + '"')
        lines.add(key + " " + line)
    return lines


def export_all(run, out):
    """Each subtree's exported bytes (empty when it does not exist)."""
    exported = {}
    for tree in SUBTREES:
        out.unlink(missing_ok=True)
        run(["reg", "export", f"HKEY_CLASSES_ROOT\\{tree}", str(out), "/y"], check=False)
        exported[tree] = out.read_bytes() if out.exists() else b""
    return exported


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    kelmyr, native_module, windows_module = (os.path.abspath(p) for p in sys.argv[1:])
    work = pathlib.Path(tempfile.mkdtemp(prefix="kelmyr-parity."))
    prefix = work / "wineprefix"
    wenv = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")
    wenv.pop("DISPLAY", None)
    try:
        env = dict(os.environ, KELMYR_REGISTRY=str(work / "registry.db"),
                   KELMYR_DPAPI_KEYS=str(work), HOME=str(work), XDG_STATE_HOME=str(work))
        os.makedirs(prefix)
        native = lambda args, check=True: subprocess.run([kelmyr] + args, env=env, check=check,
                                                         **QUIET)
        wine = lambda args, check=True: subprocess.run(["/usr/lib/wine/wine64"] + args, env=wenv,
                                                       check=check, **QUIET)
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=wenv, check=True, **QUIET)
        wine(["wineboot", "--init"], check=False)
        wine_path = "Z:" + windows_module.replace("/", "\\")
        native(["register", native_module])
        wine(["regsvr32", "/s", wine_path])
        got_native, got_wine = export_all(native, work / "n.reg"), export_all(wine, work / "w.reg")
        failures = 0
        for tree in SUBTREES:
            n = parse(got_native[tree], native_module, os.path.dirname(native_module))
            w = parse(got_wine[tree], wine_path, wine_path.rsplit("\\", 1)[0])
            if not n or n != w:
                failures += 1
                print(f"differs: {tree}")
                print("".join(f"  native only: {l}\n" for l in sorted(n - w)), end="")
                print("".join(f"  wine only:   {l}\n" for l in sorted(w - n)), end="")
        native(["unregister", native_module])
        wine(["regsvr32", "/s", "/u", wine_path])
        for tag, run in (("native", native), ("wine", wine)):
            for tree, data in export_all(run, work / "after.reg").items():
                if data:
                    failures += 1
                    print(f"left after unregistration ({tag}): {tree}")
        print(f"{len(SUBTREES)} subtrees compared, {failures} differences")
        return 1 if failures else 0
    finally:
        for flag in ("-k", "-w"):
            subprocess.run(["/usr/lib/wine/wineserver", flag], env=wenv, **QUIET)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
