#include "api/result_codes.h"

#include "velquoraorn.h"

namespace orn {

int OpenResult(uint32_t error) {
    switch (error) {
        case 0:
            return 0;
        case platform::kErrNotFound:
            return ORN_ERR_COM_PORT_NOT_EXIST;
        case platform::kErrAccessDenied:
            return ORN_ERR_COM_PORT_BUSY;
        default:
            return ORN_ERR_COMM_PORT_NOT_OPEN;
    }
}

int BusyResult(BusyAnswer answer) {
    switch (answer) {
        case BusyAnswer::Idle:
            return 0;
        case BusyAnswer::Busy:
            return 1;
        case BusyAnswer::Untracked:
            return ORN_ERR_UNKNOWN_ERROR;
        case BusyAnswer::UnknownDevice:
            break;
    }
    return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
}

int InputTimeoutResult(CGenericHandler::InputTimeoutChange change) {
    switch (change) {
        case CGenericHandler::InputTimeoutChange::Stored:
            return 0;
        case CGenericHandler::InputTimeoutChange::TimerRunning:
            return -1;  // the old value stays in force
        case CGenericHandler::InputTimeoutChange::OutOfRange:
            break;
    }
    return ORN_ERR_INVALID_PARAMETER_IN_API_CALL;
}

int ConnectionStatusResult(int32_t state) {
    return CGenericHandler::ConnectionStateCallbackValue(state);
}

}  // namespace orn
