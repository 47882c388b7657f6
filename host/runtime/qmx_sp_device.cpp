// The stand-in controller's serial device base.
#include "framework/qmx_sp_device.h"
#include "host/runtime/host_binding.h"

QMXSPDevice::QMXSPDevice() = default;
QMXSPDevice::~QMXSPDevice() = default;

int QMXSPDevice::RefreshStatus() {
    if (HostBinding* binding = HostBinding::Of(*this); binding != nullptr && binding->sink != nullptr) {
        binding->sink->PollStarted(*this);
    }
    return 1;
}

int QMXSPDevice::process() { return 0; }
bool QMXSPDevice::IsProcessing() const { return false; }
bool QMXSPDevice::IsStalled() const { return false; }
int QMXSPDevice::SendData(const unsigned char*, int) { return 0; }
int QMXSPDevice::SendParityData(const unsigned char*, int, char) { return 0; }

int QMXSPDevice::OpenPort() {
    if (HostBinding* binding = HostBinding::Of(*this); binding != nullptr && binding->sink != nullptr) {
        binding->sink->PortOpened(*this);
    }
    return 1;
}

void QMXSPDevice::ClosePort() {}
