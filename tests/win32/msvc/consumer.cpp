// A C++ application as Visual Studio builds it (32-bit), linked against the import library
// VelquoraORN.lib: it opens the link through the header's functions and reopens the port
// through the decorated ornReOpenPort (reopen.cpp, reopen_dllimport.cpp). Exits with the number
// of failed checks.
#include "runtime.h"
#include "velquoraorn.h"

int reopenThroughThunk();
int reopenThroughImport();

int main() {
    int failures = 0;
    failures += expectInt("ornInit(COM7)", ornInit("COM7", nullptr, ORN_LOGGER_OFF), 0);
    failures += expectInt("?ornReOpenPort@@YAHXZ", reopenThroughThunk(), 0);
    failures += expectInt("?ornReOpenPort@@YAHXZ through dllimport", reopenThroughImport(), 0);
    ornClose();
    failures += expectInt("ornPing after ornClose", ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    return failures;
}
