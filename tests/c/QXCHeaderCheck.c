/* The C interface's header compiled as strict C99: it must stand alone. */
#include "qxnet/c/qxnet.h"

uint32_t qxnet_header_check_c(void);
uint32_t qxnet_header_check_c(void) {
    qxnet_camera camera = {sizeof(qxnet_camera), 0, 0, 0, 0, 0, 0, 0, {0}, {0}};
    return camera.size + QXNET_VERSION;
}
