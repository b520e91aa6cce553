// The calling thread's last error, and the one conversion of errno values to Windows codes.
#include <cerrno>

#include "platform/platform.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

namespace platform {

DWORD WindowsErrorFromErrno(int error, bool atOpen) {
    switch (error) {
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOENT:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case ENXIO:
            return atOpen ? ERROR_FILE_NOT_FOUND : ERROR_DEVICE_NOT_CONNECTED;
        case EIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace platform
