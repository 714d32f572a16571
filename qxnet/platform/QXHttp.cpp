#include "qxnet/platform/QXHttp.h"

#include "qxnet/platform/QXSeam.h"

namespace QX {

QX_DEFINE_SEAM(HttpTransport, PlatformHttpTransport)

HttpReadResult HttpTransport::ReceiveData(HttpHandle request, HttpBodyReceiver& receiver,
                                          std::vector<unsigned char>& scratch, DWORD* received) {
    *received = 0;
    DWORD available = 0;
    if (!QueryDataAvailable(request, &available)) {
        return HttpReadResult::QueryDataAvailableFailed;
    }
    if (available == 0) {
        return HttpReadResult::End;
    }
    // Never cleared: every byte handed on was overwritten by the read.
    if (scratch.size() < available) {
        scratch.resize(available);
    }
    if (!ReadData(request, scratch.data(), available, received)) {
        return HttpReadResult::ReadDataFailed;
    }
    if (*received != 0) {
        receiver.Append(scratch.data(), *received);
    }
    return HttpReadResult::Data;
}

}  // namespace QX
