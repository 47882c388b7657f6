// The controller calls devices through fixed vtable slots: each virtual
// operation must keep its index, on the controller's ARM ABI as natively.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "meter/qv5810.h"

namespace {

// The index of the vtable slot a pointer to a virtual member designates.
// Itanium C++ ABI: {ptr, adj} with ptr = 1 + byte offset; the ARM variant
// keeps ptr = byte offset and flags virtual in adj's lowest bit.
template <typename PMF>
long slot_of(PMF member) {
    struct Representation {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(PMF) == sizeof(Representation), "Itanium member pointer");
    std::memcpy(&rep, &member, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) return -1;
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1) == 0) return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

using LoadText = int (VDeviceInterface::*)(const std::string&);
using LoadBytes = int (VDeviceInterface::*)(const unsigned char*, int);

}  // namespace

TEST(VtableSlots, FrameworkOperationsKeepTheirIndices) {
    EXPECT_EQ(slot_of(&VDeviceInterface::Get_Value), 0);
    EXPECT_EQ(slot_of(static_cast<LoadText>(&VDeviceInterface::LoadFromCache)), 1);
    EXPECT_EQ(slot_of(static_cast<LoadBytes>(&VDeviceInterface::LoadFromCache)), 2);
    EXPECT_EQ(slot_of(&VDeviceInterface::DataId), 3);
    EXPECT_EQ(slot_of(&VDeviceInterface::DeviceType), 4);
    EXPECT_EQ(slot_of(&VDeviceInterface::DeviceIoControl), 5);
    EXPECT_EQ(slot_of(&VDeviceInterface::RoundDone), 6);
    EXPECT_EQ(slot_of(&VDeviceInterface::UseControllerDb), 7);
    // Slots 8 and 9: the complete and the deleting destructor.
    EXPECT_EQ(slot_of(&VDeviceInterface::Reset), 10);
    EXPECT_EQ(slot_of(&VDeviceInterface::InitV), 11);
    EXPECT_EQ(slot_of(&VDeviceInterface::Init), 12);
    EXPECT_EQ(slot_of(&VDeviceInterface::InitSetting), 13);
    EXPECT_EQ(slot_of(&VDeviceInterface::IsSupportDevice), 14);
    EXPECT_EQ(slot_of(&VDeviceInterface::GetChildVDevice), 15);
    EXPECT_EQ(slot_of(&VDeviceInterface::GetAllChildVDevices), 16);
    EXPECT_EQ(slot_of(&QMXVDevice::SendSP), 17);
    EXPECT_EQ(slot_of(&QMXVDevice::SendDelayData), 18);
    EXPECT_EQ(slot_of(&QMXVDevice::SendDoData), 19);
    EXPECT_EQ(slot_of(&QMXVDevice::ReadDi), 20);
    EXPECT_EQ(slot_of(&QMXVDevice::ReadAi), 21);
    EXPECT_EQ(slot_of(&QMXVDevice::Get_SP_Value), 22);
    EXPECT_EQ(slot_of(&QMXSPDevice::RefreshStatus), 23);
    EXPECT_EQ(slot_of(&QMXSPDevice::process), 24);
    EXPECT_EQ(slot_of(&QMXSPDevice::IsProcessing), 25);
    EXPECT_EQ(slot_of(&QMXSPDevice::IsStalled), 26);
    EXPECT_EQ(slot_of(&QMXSPDevice::SendData), 27);
    EXPECT_EQ(slot_of(&QMXSPDevice::SendParityData), 28);
    EXPECT_EQ(slot_of(&QMXSPDevice::OpenPort), 29);
    EXPECT_EQ(slot_of(&QMXSPDevice::ClosePort), 30);
    EXPECT_EQ(slot_of(&SPModbus::process_payload), 31);
    EXPECT_EQ(slot_of(&SPModbus::on_error), 32);
}

TEST(VtableSlots, DeviceOverridesLandInTheFrameworkSlots) {
    EXPECT_EQ(slot_of(&QV5810::Get_Value), 0);
    EXPECT_EQ(slot_of(&QV5810::DeviceIoControl), 5);
    EXPECT_EQ(slot_of(&QV5810::InitSetting), 13);
    EXPECT_EQ(slot_of(&QV5810::RefreshStatus), 23);
    EXPECT_EQ(slot_of(&QV5810::process_payload), 31);
    EXPECT_EQ(slot_of(&QV5810::RunCheckThreshold), 33);
    // The template's own operation comes last, after on_error.
    using Base = UniDataDevice<QV5810_Data_t, SPModbus, 5156>;
    EXPECT_EQ(slot_of(&Base::RunCheckThreshold), 33);
}
