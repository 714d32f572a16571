#include "qxnet/platform/QXNetInfo.h"

#include "qxnet/platform/QXSeam.h"

namespace QX {

QX_DEFINE_SEAM(NetInfoSource, PlatformNetInfo)

NetInfoSource::~NetInfoSource() = default;

}  // namespace QX
