#include "qxnet/platform/QXCodeLock.h"

namespace QX {

CodeLock::CodeLock() {
    InitializeCriticalSection(&m_section);
}
CodeLock::~CodeLock() {
    DeleteCriticalSection(&m_section);
}

void CodeLock::Enter() {
    EnterCriticalSection(&m_section);
}

void CodeLock::Leave() {
    LeaveCriticalSection(&m_section);
}

}  // namespace QX
