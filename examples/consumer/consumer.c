/* The smallest application built against an installed VelquoraORN: opens the terminal named on
 * the command line (default COM7), beeps, reads the serial number and closes. Written in C to
 * show the header serves C programs. */
#include <stdio.h>

#include <velquoraorn.h>

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "COM7";
    char serial[64] = {0};
    int result;

    printf("VelquoraORN %s\n", ornGetVersion());
    result = ornInit(port, NULL, 0);
    if (result < 0) {
        printf("ornInit(%s): %d %s\n", port, result, ornGetErrorString(result));
        return 1;
    }
    result = ornBeep(1);
    printf("ornBeep: %d %s\n", result, ornGetErrorString(result));
    if (result >= 0) {
        result = ornGetSerialNumber(serial);
        printf("ornGetSerialNumber: %d %s\n", result, result >= 0 ? serial : "");
    }
    ornClose();
    return result < 0 ? 1 : 0;
}
