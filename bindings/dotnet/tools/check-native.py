#!/usr/bin/env python3
"""Compares the P/Invoke declarations of Native.cs with the exports of velquoraorn.h.

Every exported function must be declared once, with the same name, the same number of
parameters, a C# type that marshals as the C type of each, and the C calling convention; a
declaration without an export is an error too. Exits 1 listing every difference.

    check-native.py include/velquoraorn.h bindings/dotnet/src/Native.cs
"""
import re
import sys

# C type -> the C# types that marshal as it (pointers to scalars as out/ref, or as an array
# where null may be passed). Callback typedefs map to their delegate (Orn + the rest).
COMPATIBLE = {
    "void": {"void"},
    "int": {"int"},
    "int32_t": {"int"},
    "unsigned": {"uint"},
    "uint32_t": {"uint"},
    "short": {"short"},
    "long": {"IntPtr"},
    "unsigned long": {"UIntPtr"},
    "char": {"byte"},
    "const char*": {"string"},
    "char*": {"StringBuilder", "byte[]"},
    "const unsigned char*": {"byte[]"},
    "unsigned char*": {"byte[]", "out byte"},
    "int*": {"out int", "ref int", "int[]"},
    "int32_t*": {"out int", "ref int", "int[]"},
    "ornComPortInfo*": {"OrnComPortInfo[]"},
    "ornUsbHidDeviceInfo*": {"OrnUsbHidDeviceInfo[]"},
}
# Returned text is the library's memory: a string return would have the marshaller free it.
RETURNS = {"int": "int", "void": "void", "uint32_t": "uint", "const char*": "IntPtr"}


def header_exports(text):
    exports = {}
    for ret, name, params in re.findall(
            r"^ORN_API\s+(.*?)\s+ORN_CALL\s+(\w+)\((.*?)\);", text, re.S | re.M):
        types = []
        if params.strip() != "void":
            for p in params.split(","):
                p = " ".join(p.split())
                types.append(re.sub(r"\s*\*\s*", "*", re.match(r"(.*?)\s*\w+$", p).group(1)))
        exports[name] = (ret.strip(), types)
    return exports


def declarations(text):
    decls = {}
    for attrs, ret, name, params in re.findall(
            r"\[DllImport\(([^\]]*)\)\]\s*public static extern (\S+) (\w+)\((.*?)\);", text, re.S):
        types = []
        params = re.sub(r"\[(In|Out)\b[^\]]*\]\s*", "", params)  # [In, Out]
        for p in filter(None, (x.strip() for x in params.split(","))):
            types.append(re.match(r"(.*?)\s*@?\w+$", p).group(1))
        decls.setdefault(name, []).append((attrs, ret, types))
    return decls


def main():
    header, native = (open(path, encoding="utf-8").read() for path in sys.argv[1:3])
    exports, decls = header_exports(header), declarations(native)
    problems = []
    for name, (ret, ctypes) in sorted(exports.items()):
        if name not in decls:
            problems.append("%s: exported but not declared" % name)
            continue
        if len(decls[name]) > 1:
            problems.append("%s: declared %d times" % (name, len(decls[name])))
        attrs, csret, cstypes = decls[name][0]
        if "CallingConvention.Cdecl" not in attrs or "CharSet.Ansi" not in attrs:
            problems.append("%s: not Cdecl with ANSI strings" % name)
        if RETURNS.get(ret) != csret:
            problems.append("%s: returns %s for %s" % (name, csret, ret))
        if len(ctypes) != len(cstypes):
            problems.append("%s: %d parameters, the header has %d" % (name, len(cstypes), len(ctypes)))
            continue
        for i, (c, cs) in enumerate(zip(ctypes, cstypes), 1):
            allowed = COMPATIBLE.get(c)
            if allowed is None and c.startswith("orn") and c.endswith("Callback"):
                allowed = {"O" + c[1:]}
            if cs not in (allowed or ()):
                problems.append("%s: parameter %d is %s for %s" % (name, i, cs, c))
    for name in sorted(set(decls) - set(exports)):
        problems.append("%s: declared but not exported" % name)
    if "?ornReOpenPort@@YAHXZ" not in native:
        problems.append("ornReOpenPort: not bound to its exported name ?ornReOpenPort@@YAHXZ")
    for p in problems:
        print("check-native: " + p, file=sys.stderr)
    print("check-native: %d exports, %d problems" % (len(exports), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
