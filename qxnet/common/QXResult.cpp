#include "qxnet/common/QXResult.h"

namespace QX {

const wchar_t* const ResultMessages[ResultMessageCount] = {
    L"Success",
    L"Warning",
    L"Unexpected",
    L"Invalid argument",
    L"Unsupported operation",
    L"Parameter is out of range",
    L"Operation timed out",
    L"Wrong output data size",
    L"Wrong output data",
    L"Buffer is too small",
    L"Not implemented",
    L"Object not found",
    L"More data available",
    L"Object or operation is unavailable",
    L"Plugin for camera not found",
    L"Unsupported camera version",
    L"Unknown camera model",
    L"Password required",
    L"No data",
    L"Connection lost",
    L"IP address is out of local subnet(s)",
    L"Network device doen't exist",
};

const wchar_t* ResultMessage(std::uint32_t code) {
    if (code == ResultCode::Success) {
        return ResultMessages[0];
    }
    if (code >= ResultCode::Unexpected && code <= ResultCode::NoNetworkDevice) {
        return ResultMessages[code - 0xF0000001];
    }
    return nullptr;
}

}  // namespace QX
