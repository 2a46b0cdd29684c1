// Engine controls exported to the application.
#include "engine/generic_handler.h"
#include "velquoraorn.h"

extern "C" {

ORN_API int ornIsBusy(int device) {
    return orn::Engine().IsBusyExport(device);
}

ORN_API void ornSetPowerUpCallback(ornPowerUpCallback callback) {
    orn::Engine().SetPowerUpCallback(callback);
}

ORN_API void ornSetConnectionStateCallback(ornConnectionStateCallback callback) {
    orn::Engine().SetConnectionStateCallback(callback);
}

ORN_API int ornInputTimeoutAutoCancel(int seconds) {
    return orn::Engine().SetInputTimeout(seconds);
}

}  // extern "C"
