// The controller's base for devices on a serial line.
#pragma once

#include "framework/qmx_vdevice.h"

class QMX_HOST_API QMXSPDevice : public QMXVDevice {
public:
    QMXSPDevice();
    ~QMXSPDevice() override;

    virtual int RefreshStatus();
    virtual int process();
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    virtual int SendData(const unsigned char* data, int length);
    virtual int SendParityData(const unsigned char* data, int length, char parity);
    virtual int OpenPort();
    virtual void ClosePort();

protected:
    int baud_rate = 9600;  // the line speed the device asks its port for
};
