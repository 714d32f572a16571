#include "qxnet/mdns/QXDNSTraceLimit.h"

namespace QXSDK {

namespace {

struct Budget {
    bool active = false;
    unsigned left = 0;
    unsigned suppressed = 0;
};

thread_local Budget t_budget;

}  // namespace

DNSTraceLimit::DNSTraceLimit(unsigned lines) {
    t_budget = Budget{true, lines, 0};
}

DNSTraceLimit::~DNSTraceLimit() {
    const unsigned suppressed = t_budget.suppressed;
    t_budget = Budget{};
    if (suppressed > 0) {
        QX::Trace(
            L"MDNSClient::AccumulateResponseData: %u more trace lines of this message left out",
            suppressed);
    }
}

bool DNSTraceLimit::Allow() {
    if (!t_budget.active) {
        return true;
    }
    if (t_budget.left == 0) {
        ++t_budget.suppressed;
        return false;
    }
    --t_budget.left;
    return true;
}

}  // namespace QXSDK
