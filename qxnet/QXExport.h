#pragma once

// QXNET_API marks what the library exports; everything else stays hidden.
#if defined(_WIN32)
#if defined(QXNET_BUILDING)
#define QXNET_API __declspec(dllexport)
#else
#define QXNET_API __declspec(dllimport)
#endif
#else
#define QXNET_API __attribute__((visibility("default")))
#endif
