#pragma once
// A simulated instrument sent from booter to firmware (or back) the way the
// update run does it: the switch request, the re-enumeration on the virtual
// clock, a new connection and its identity.
#include <gtest/gtest.h>

#include "common/clock.h"
#include "usb/usb_connection.h"

namespace vesk::test {

inline INFOIDENT SwitchAndIdentify(CUSBConnection& conn, vesk::VirtualClock& clock,
                                   const CDeviceInfo& info, uint32_t reenumerate_ms = 3000) {
    EXPECT_TRUE(conn.CtrlWrite_BooterCmd4());
    conn.ChiudiUSB();
    clock.advance_ms(reenumerate_ms);
    CUSBConnection again;
    EXPECT_GT(again.Apri(info), 0);
    INFOIDENT id;
    EXPECT_TRUE(again.GetINFOIDENT(id));
    return id;
}

}  // namespace vesk::test
