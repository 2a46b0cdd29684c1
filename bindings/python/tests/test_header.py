# The binding's table of exports against the C header: the real header matches, and each kind of
# change to the header is reported.
import os

import pytest

import check_header
from velquoraorn import _native

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "include", "velquoraorn.h")


def problems_with(tmp_path, old, new):
    with open(HEADER, encoding="utf-8") as header:
        text = header.read()
    assert old in text
    changed = tmp_path / "velquoraorn.h"
    changed.write_text(text.replace(old, new, 1), encoding="utf-8")
    return check_header.compare(*check_header.parse_header(str(changed)), _native)


def test_the_table_matches_the_header():
    functions, callbacks = check_header.parse_header(HEADER)
    assert len(functions) == len(_native.EXPORTS) and len(callbacks) == len(_native.CALLBACKS)
    assert check_header.compare(functions, callbacks, _native) == []


@pytest.mark.parametrize("old, new, expected", [
    ("ORN_API int ORN_CALL PurifyIsRunning(void);",
     "ORN_API int ORN_CALL PurifyIsRunning(void);\nORN_API int ORN_CALL ornNew(\n    int a);",
     "export ornNew: missing from the binding"),
    ("ORN_API int ORN_CALL ornBeep(int beepCode);", "ORN_API int ORN_CALL ornBeep(void);",
     "export ornBeep: 1 arguments, the header has 0"),
    ("ORN_API int ORN_CALL ornReadBlock(char* block);",
     "ORN_API int ORN_CALL ornReadBlock(const char* block);",
     "export ornReadBlock: argument 1 is <class 'ctypes.LP_c_char'>, the header has const char*"),
    ("ORN_API uint32_t ORN_CALL ornGetVersionDWORD(void);",
     "ORN_API int ORN_CALL ornGetVersionDWORD(void);",
     "export ornGetVersionDWORD: result is <class 'ctypes.c_uint'>, the header has int"),
    ("ORN_API int ORN_CALL ornCancel(void);", "",
     "export ornCancel: in the binding, not in the header"),
    ("typedef void (ORN_CALL *ornPinCallback)(int status, char* pinBlock);",
     "typedef void (ORN_CALL *ornPinCallback)(int status, char* pinBlock, int more);",
     "callback ornPinCallback: 2 arguments, the header has 3"),
])
def test_header_changes_are_reported(tmp_path, old, new, expected):
    assert problems_with(tmp_path, old, new) == [expected]
