// Exports that are not functions of their own: the decorated second name of ornReOpenPort,
// which applications built against the original import library bind to.
//
// ELF linkers read '@' in a symbol name as a version tag, so the name cannot come out of the
// link as it is. The forwarder below is linked under a stand-in name of the same length and
// the same GNU symbol hash; after the link, tools/symrename writes the real name over the
// stand-in in the string table, which leaves the hash table valid.
#include "velquoraorn.h"

extern "C" ORN_API int ornReOpenPort_tpyhunl(void) {
    return ornReOpenPort();
}
