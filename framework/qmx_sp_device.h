// The controller's base for devices on a serial line.
#pragma once

#include <string>

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
    std::string port_name;
    int baud_rate = 9600;
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
};
