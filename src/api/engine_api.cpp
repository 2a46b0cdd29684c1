// Engine controls exported to the application.
#include "api/guard.h"
#include "api/result_codes.h"
#include "api/session.h"
#include "engine/generic_handler.h"
#include "velquoraorn.h"

extern "C" {

ORN_API int ornIsBusy(int device) {
    return orn::GuardedCode("ornIsBusy", [&]() -> int {
        const int links = orn::CommonPreamble();
        return links != 0 ? links : orn::BusyResult(orn::Engine().DeviceBusy(device));
    });
}

ORN_API void ornSetPowerUpCallback(ornPowerUpCallback callback) {
    orn::GuardedVoid("ornSetPowerUpCallback", [&] { orn::Engine().SetPowerUpCallback(callback); });
}

ORN_API void ornSetConnectionStateCallback(ornConnectionStateCallback callback) {
    orn::GuardedVoid("ornSetConnectionStateCallback",
                     [&] { orn::Engine().SetConnectionStateCallback(callback); });
}

ORN_API int ornInputTimeoutAutoCancel(int seconds) {
    return orn::GuardedCode("ornInputTimeoutAutoCancel", [&]() -> int {
        return orn::InputTimeoutResult(orn::Engine().SetInputTimeout(seconds));
    });
}

}  // extern "C"
