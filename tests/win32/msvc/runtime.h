/* The smallest C runtime the Visual Studio-style consumers need. No MSVC runtime exists on the
 * build machine, so they link with /nodefaultlib: runtime.c supplies the entry point, which
 * calls the program's main and exits with its result, and the two checks below, which write
 * one line each to standard output through KERNEL32 alone. */
#ifndef ORN_MSVC_RUNTIME_H
#define ORN_MSVC_RUNTIME_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes "ok      what" or "FAILED  what: got G, want W"; returns 0 or 1. */
int expectInt(const char* what, int got, int want);
/* As expectInt, for texts (a null text counts as "(null)"). */
int expectText(const char* what, const char* got, const char* want);

#ifdef __cplusplus
}
#endif

#endif
