// The stand-in controller's serial device base.
#include "framework/qmx_sp_device.h"
#include "host/runtime/host_binding.h"

QMXSPDevice::QMXSPDevice() = default;
QMXSPDevice::~QMXSPDevice() = default;

int QMXSPDevice::RefreshStatus() {
    HostBinding::SinkOf(*this).PollStarted(*this);
    return 1;
}

int QMXSPDevice::process() { return 0; }
bool QMXSPDevice::IsProcessing() const { return false; }
bool QMXSPDevice::IsStalled() const { return false; }
int QMXSPDevice::SendData(const unsigned char*, int) { return 0; }
int QMXSPDevice::SendParityData(const unsigned char*, int, char) { return 0; }

int QMXSPDevice::OpenPort() {
    HostBinding::SinkOf(*this).PortOpened(*this);
    return 1;
}

void QMXSPDevice::ClosePort() {}
