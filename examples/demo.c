/* Sample POS session: opens the terminal link with a log file, runs a few commands and prints
 * each step with its result code and text. Run it against the terminal simulator (ornsim) with
 * ORN_PORT_DIR set, or against a real terminal with the port name as the first argument. Exits
 * non-zero when a step fails. */
#include <stdio.h>
#include <string.h>

#include "velquoraorn.h"

static int g_failures = 0;

/* Prints one step; `ok` says whether the result is what the step expects. */
static int Step(const char* what, int result, int ok) {
    printf("%-44s %4d  %s%s\n", what, result, ornGetErrorString(result), ok ? "" : "   <-- FAILED");
    if (!ok) ++g_failures;
    return result;
}

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : "COM7";
    const char* log = argc > 2 ? argv[2] : "orn_demo.log";
    char response[64];
    int result;

    printf("VelquoraORN %s demo on %s\n\n", ornGetVersion(), port);

    result = ornInit(port, log, ORN_LOGGER_FINE);
    Step("ornInit (open link, log, ready check)", result, result == 0);
    if (result != 0) {
        printf("\nNo terminal answered on %s. Start the simulator first (see README).\n", port);
        return 1;
    }
    result = ornCheckConnectionStatus();
    Step("ornCheckConnectionStatus", result, result == 0);
    result = ornBeep(7);
    Step("ornBeep(7)", result, result == 0);
    result = ornPromptRegister(5, "Montant OK? Caf\xE9", "00000000");
    Step("ornPromptRegister(5, accented prompt)", result, result == 0);
    result = ornGenericAsciiCommand("5B", "1", response, (int)sizeof response);
    Step("ornGenericAsciiCommand(\"5B\", \"1\")", result, result >= 0);
    if (result >= 0) printf("%-44s       answer \"%s\"\n", "", response);
    result = ornReturnToIdle(0);
    Step("ornReturnToIdle(0)", result, result == 0);
    result = ornBeep(16);
    Step("ornBeep(16) is refused, nothing sent", result,
         result == ORN_ERR_INVALID_PARAMETER_IN_API_CALL);
    result = ornCancel();
    Step("ornCancel", result, result == 0);

    ornClose();
    Step("ornClose; ornPing afterwards", ornPing(), ornPing() == ORN_ERR_COMM_PORT_NOT_OPEN);

    /* The log rotates through name.0 .. name.9; the newest file has the highest number. */
    for (int n = 9; n >= 0; --n) {
        char path[1024];
        FILE* file;
        snprintf(path, sizeof path, "%s.%d", log, n);
        if ((file = fopen(path, "r")) != NULL) {
            fclose(file);
            printf("\nLog file: %s\n", path);
            break;
        }
    }
    printf("%s\n", g_failures == 0 ? "Demo succeeded." : "Demo FAILED.");
    return g_failures == 0 ? 0 : 1;
}
