#include "qxnet/platform/QXNetInfo.h"

#include <atomic>

namespace QX {

namespace {
std::atomic<NetInfoSource*> s_source{nullptr};
}  // namespace

NetInfoSource::~NetInfoSource() = default;

NetInfoSource& NetInfo() {
    NetInfoSource* source = s_source.load();
    return source != nullptr ? *source : PlatformNetInfo();
}

NetInfoSource* SetNetInfoSource(NetInfoSource* source) {
    NetInfoSource* previous = s_source.exchange(source);
    return previous != nullptr ? previous : &PlatformNetInfo();
}

}  // namespace QX
