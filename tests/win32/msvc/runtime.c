#include "runtime.h"

#define STD_OUTPUT_HANDLE ((unsigned long)-11)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);

/* A SAFESEH image names its table of safe exception handlers in the load configuration, which
 * the MSVC runtime normally supplies; the linker defines the table and its count. This is the
 * 32-bit structure in its first form, which ends with the handler count. */
extern void* __safe_se_handler_table[];
extern unsigned char __safe_se_handler_count;
typedef struct {
    unsigned long size;
    unsigned long fields[14];
    void* securityCookie;
    void** handlerTable;
    unsigned long handlerCount;
} LoadConfig32;
const LoadConfig32 _load_config_used = {
    sizeof(LoadConfig32), {0}, 0, __safe_se_handler_table, (unsigned long)&__safe_se_handler_count};

static unsigned long length(const char* text) {
    unsigned long n = 0;
    while (text[n] != 0) ++n;
    return n;
}

static void put(const char* text) {
    unsigned long written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length(text), &written, 0);
}

static void putInt(int value) {
    char digits[12];
    int at = (int)sizeof digits - 1;
    unsigned int magnitude = value < 0 ? 0u - (unsigned int)value : (unsigned int)value;
    digits[at] = 0;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    put(digits + at);
}

static int sameText(const char* a, const char* b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

int expectInt(const char* what, int got, int want) {
    put(got == want ? "ok      " : "FAILED  ");
    put(what);
    if (got != want) {
        put(": got ");
        putInt(got);
        put(", want ");
        putInt(want);
    }
    put("\n");
    return got != want;
}

int expectText(const char* what, const char* got, const char* want) {
    int same = got != 0 && sameText(got, want);
    put(same ? "ok      " : "FAILED  ");
    put(what);
    if (!same) {
        put(": got \"");
        put(got != 0 ? got : "(null)");
        put("\", want \"");
        put(want);
        put("\"");
    }
    put("\n");
    return !same;
}

int main(void);

void mainCRTStartup(void) {
    ExitProcess((unsigned int)main());
}
