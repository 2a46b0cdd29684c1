/* Sample POS session. For now it loads the library and prints its version; the session against
 * the terminal simulator follows as the engine lands. */
#include <stdio.h>

#include "velquoraorn.h"

int main(void) {
    printf("VelquoraORN %s (0x%08X)\n", ornGetVersion(), (unsigned)ornGetVersionDWORD());
    printf("ornPing() with no link open: %d %s\n", ornPing(), ornGetErrorString(ornPing()));
    return ornGetVersionDWORD() == 0x00010017u ? 0 : 1;
}
