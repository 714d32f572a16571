#pragma once

// The library's camera records as the C interface's plain structs.

#include "qxnet/c/qxnet.h"
#include "qxnet/mdns/QXMDNSCameraData.h"
#include "qxnet/scan/QXScannedCamera.h"
#include "qxnet/tftp/QXCameraData.h"

namespace QX::C {

void ToC(const QXSDK::CameraData& camera, qxnet_camera& out);
void ToC(const QXSDK::MDNSCameraData& camera, qxnet_mdns_camera& out);
void ToC(const QXSDK::ScannedCamera& camera, qxnet_scanned_camera& out);

}  // namespace QX::C
