// Engine controls exported to the application.
#include "engine/generic_handler.h"
#include "velquoraorn.h"

extern "C" {

ORN_API int ornIsBusy(int device) {
    return orn::Engine().IsBusyExport(device);
}

}  // extern "C"
