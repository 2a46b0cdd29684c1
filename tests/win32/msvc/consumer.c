/* A C application as Visual Studio builds it (32-bit, /SAFESEH), linked against the import
 * library VelquoraORN.lib, talking to the terminal on COM7. Exits with the number of failed
 * checks. */
#include "runtime.h"
#include "velquoraorn.h"

int main(void) {
    int failures = 0;
    failures += expectInt("ornGetVersionDWORD", (int)ornGetVersionDWORD(), 0x00010017);
    failures += expectText("ornGetVersion", ornGetVersion(), "1.23");
    failures += expectText("ornGetErrorString(-24)", ornGetErrorString(-24),
                           "ORN_ERR_COM_PORT_NAME_TOO_LONG");
    failures += expectInt("ornInit(COM7)", ornInit("COM7", 0, ORN_LOGGER_OFF), 0);
    failures += expectText("ornGetComPort", ornGetComPort(), "COM7");
    failures += expectInt("ornBeep(1)", ornBeep(1), 0);
    failures += expectInt("ornPing", ornPing(), 0);
    ornClose();
    failures += expectInt("ornPing after ornClose", ornPing(), ORN_ERR_COMM_PORT_NOT_OPEN);
    return failures;
}
