#include "qxnet/http/QXBodySink.h"

#include <map>
#include <mutex>

namespace QX {
namespace {

std::mutex g_sinksMutex;
std::map<const QXSDK::HTTPClient*, BodySink*> g_sinks;

}  // namespace

BodySink::BodySink(const QXSDK::HTTPClient& client) : m_client(&client) {
    std::lock_guard<std::mutex> guard(g_sinksMutex);
    g_sinks[m_client] = this;
}

BodySink::~BodySink() {
    if (m_client == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_sinksMutex);
    auto found = g_sinks.find(m_client);
    if (found != g_sinks.end() && found->second == this) {
        g_sinks.erase(found);
    }
}

BodySink* BodySink::Of(const QXSDK::HTTPClient* client) {
    std::lock_guard<std::mutex> guard(g_sinksMutex);
    auto found = g_sinks.find(client);
    return found == g_sinks.end() ? nullptr : found->second;
}

}  // namespace QX
