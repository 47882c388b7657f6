// The stand-in controller's private side of a device: its sinks, its line,
// and the controller-only operations on the framework members.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

#include "framework/sp_modbus.h"
#include "host/runtime/host_sink.h"
#include "host/runtime/modbus_transport.h"

struct HostBinding {
    HostSink* sink = nullptr;
    ModbusTransport* transport = nullptr;

    // Attaches the binding (which must outlive the device) and the identity.
    static void Attach(QMXVDevice& device, HostBinding* binding, std::uint32_t data_id);

    // Hands a device the answer to its outstanding request, as the
    // controller's Modbus master does: registers into the receive table, then
    // process_payload. Registers beyond the table's size are dropped.
    static int DeliverAnswer(SPModbus& device, const std::uint16_t* registers, unsigned int count);
    // The same, with another count passed to process_payload than the
    // registers put in the table: what a master whose count means something
    // else (bytes, or nothing) would hand over.
    static int DeliverAnswerCounting(SPModbus& device, const std::uint16_t* registers, unsigned int count,
                                     unsigned int reported_count);

    static void SetThreshold(QMXVDevice& device, const std::string& key, int level, float value);
    static void SetLevel(QMXVDevice& device, const std::string& key, int level);
    static const std::map<std::string, int>& Levels(const QMXVDevice& device);
    static const std::map<std::string, float>& Values(const QMXVDevice& device);
    static std::int32_t PollState(const SPModbus& device);
    static void SetPollState(SPModbus& device, std::int32_t state);
    static bool AlarmActive(const QMXVDevice& device);
    static std::uint16_t CommStatus(const QMXVDevice& device);
    static boost::posix_time::ptime LastUpdate(const QMXVDevice& device);

    // The binding of a device, or nullptr when the controller attached none.
    static HostBinding* Of(const QMXVDevice& device) { return device.host_binding; }
    // The device's sink; a quiet one when none is attached.
    static HostSink& SinkOf(const QMXVDevice& device) {
        static HostSink quiet;
        const HostBinding* binding = Of(device);
        return binding != nullptr && binding->sink != nullptr ? *binding->sink : quiet;
    }
};
