#!/usr/bin/env python3
"""Compares the binding's table of exports with the C header.

Every function the header exports must be in velquoraorn._native.EXPORTS with the ctypes types
its C declaration maps to (argument count, each argument, the result), every callback type in
CALLBACKS likewise, and the table must hold nothing the header lacks.

    python3 check_header.py [include/velquoraorn.h]

Prints the differences and exits 1 when there are any.
"""
import ctypes
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_HEADER = os.path.join(HERE, "..", "..", "include", "velquoraorn.h")

_FUNCTION = re.compile(r"^ORN_API\s+([^;()]+?)\s*ORN_CALL\s+(\w+)\s*\(([^;]*?)\)\s*;", re.M)
_CALLBACK = re.compile(
    r"^typedef\s+([^;()]+?)\s*\(\s*ORN_CALL\s*\*\s*(\w+)\s*\)\s*\(([^;]*?)\)\s*;", re.M)


def _strip_comments(text):
    return re.sub(r"/\*.*?\*/", " ", text, flags=re.S)


def _type_of(parameter):
    """The C type of one declared parameter, spaces normalised ("const char*")."""
    parameter = " ".join(parameter.split())
    match = re.match(r"^(.*?[\s*])(\w+)$", parameter)
    c_type = match.group(1) if match else parameter
    return re.sub(r"\s*\*", "*", c_type.strip())


def _parameters(text):
    text = " ".join(text.split())
    if text in ("", "void"):
        return []
    return [_type_of(p) for p in text.split(",")]


def parse_header(path):
    """{name: (result type, [parameter types])} for the exports and the callback types."""
    with open(path, encoding="utf-8") as header:
        text = _strip_comments(header.read())
    functions = {m.group(2): (" ".join(m.group(1).split()).replace(" *", "*"),
                              _parameters(m.group(3))) for m in _FUNCTION.finditer(text)}
    callbacks = {m.group(2): (" ".join(m.group(1).split()), _parameters(m.group(3)))
                 for m in _CALLBACK.finditer(text)}
    return functions, callbacks


def ctypes_for(c_type, native):
    """The ctypes type(s) a C type may be declared as. A const byte buffer may be given as
    c_char_p so that bytes pass without copying; everything else has exactly one mapping."""
    P = ctypes.POINTER
    scalar = {
        "void": None, "int": ctypes.c_int, "int32_t": ctypes.c_int32,
        "uint32_t": ctypes.c_uint32, "unsigned": ctypes.c_uint, "long": ctypes.c_long,
        "unsigned long": ctypes.c_ulong, "short": ctypes.c_short, "char": ctypes.c_char,
        "const char*": ctypes.c_char_p, "char*": P(ctypes.c_char),
        "int*": P(ctypes.c_int), "int32_t*": P(ctypes.c_int32),
        "unsigned char*": P(ctypes.c_ubyte),
    }
    if c_type == "const unsigned char*":
        return (ctypes.c_char_p, P(ctypes.c_ubyte))
    if c_type in scalar:
        return (scalar[c_type],)
    if c_type in native.CALLBACKS:
        return (native.CALLBACKS[c_type],)
    if c_type.endswith("*") and hasattr(native, c_type[:-1]):
        return (P(getattr(native, c_type[:-1])),)
    raise KeyError(c_type)


def compare(functions, callbacks, native):
    problems = []

    def check(kind, name, c_result, c_params, result, params):
        if len(params) != len(c_params):
            problems.append(f"{kind} {name}: {len(params)} arguments, the header has "
                            f"{len(c_params)}")
            return
        for index, (c_type, declared) in enumerate(zip(c_params, params), 1):
            try:
                allowed = ctypes_for(c_type, native)
            except KeyError:
                problems.append(f"{kind} {name}: argument {index}: no mapping for {c_type}")
                continue
            if declared not in allowed:
                problems.append(f"{kind} {name}: argument {index} is {declared}, "
                                f"the header has {c_type}")
        try:
            if result not in ctypes_for(c_result, native):
                problems.append(f"{kind} {name}: result is {result}, the header has {c_result}")
        except KeyError:
            problems.append(f"{kind} {name}: no mapping for the result {c_result}")

    for name, (c_result, c_params) in sorted(functions.items()):
        if name not in native.EXPORTS:
            problems.append(f"export {name}: missing from the binding")
            continue
        result, params = native.EXPORTS[name]
        check("export", name, c_result, c_params, result, params)
    for name in sorted(set(native.EXPORTS) - set(functions)):
        problems.append(f"export {name}: in the binding, not in the header")
    for name, (c_result, c_params) in sorted(callbacks.items()):
        if name not in native.CALLBACKS:
            problems.append(f"callback {name}: missing from the binding")
            continue
        kind = native.CALLBACKS[name]
        check("callback", name, c_result, c_params, kind._restype_, list(kind._argtypes_))
    for name in sorted(set(native.CALLBACKS) - set(callbacks)):
        problems.append(f"callback {name}: in the binding, not in the header")
    return problems


def main(argv):
    sys.path.insert(0, HERE)
    from velquoraorn import _native

    header = argv[1] if len(argv) > 1 else DEFAULT_HEADER
    functions, callbacks = parse_header(header)
    problems = compare(functions, callbacks, _native)
    for problem in problems:
        print(problem)
    print(f"{len(functions)} exports and {len(callbacks)} callback types in {header}: "
          f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
