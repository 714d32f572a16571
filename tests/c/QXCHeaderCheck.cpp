// The C interface's header compiled as C++: the declarations keep C linkage.
#include "qxnet/c/qxnet.h"

#include <type_traits>

static_assert(std::is_standard_layout_v<qxnet_scanned_camera>, "plain C structs");
static_assert(std::is_same_v<decltype(&qxnet_version), uint32_t (*)()>, "C signature");
