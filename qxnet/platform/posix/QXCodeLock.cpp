#include "qxnet/platform/QXCodeLock.h"

namespace QX {

CodeLock::CodeLock() = default;
CodeLock::~CodeLock() = default;

void CodeLock::Enter() {
    m_mutex.lock();
}

void CodeLock::Leave() {
    m_mutex.unlock();
}

}  // namespace QX
