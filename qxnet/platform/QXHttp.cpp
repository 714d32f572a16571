#include "qxnet/platform/QXHttp.h"

#include "qxnet/platform/QXSeam.h"

namespace QX {

QX_DEFINE_SEAM(HttpTransport, PlatformHttpTransport)

}  // namespace QX
