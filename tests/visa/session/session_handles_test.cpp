// The handle table and viOpen's argument checks, through the C API.
#include <gtest/gtest.h>

#include <set>

#include "visa_fixture.h"

namespace sgtest {
namespace {

using SessionHandles = VisaTest;

TEST_F(SessionHandles, ResourceManagerSessionsAreDistinctAndNonZero) {
    std::set<ViSession> seen{rm()};
    for (int i = 0; i < 20; ++i) {
        ViSession vi = VI_NULL;
        ASSERT_EQ(viOpenDefaultRM(&vi), VI_SUCCESS);
        EXPECT_NE(vi, static_cast<ViSession>(VI_NULL));
        EXPECT_TRUE(seen.insert(vi).second) << "handle given out twice";
        EXPECT_EQ(viClose(vi), VI_SUCCESS);
    }
}

TEST_F(SessionHandles, ClosedAndUnknownHandlesAreInvalidObjects) {
    const ViSession vi = open_instrument();
    ASSERT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(viClose(vi), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viPrintf(vi, "*RST\n"), VI_ERROR_INV_OBJECT);
    char buf[16] = "keep";
    EXPECT_EQ(viQueryf(vi, "*IDN?\n", "%15T", buf), VI_ERROR_INV_OBJECT);
    EXPECT_STREQ(buf, "keep");  // nothing touched
    EXPECT_EQ(viClose(0x7fffff00u), VI_ERROR_INV_OBJECT);
    EXPECT_TRUE(instrument().messages().empty());
}

TEST_F(SessionHandles, NewHandlesDoNotReuseClosedOnes) {
    const ViSession first = open_instrument();
    ASSERT_EQ(viClose(first), VI_SUCCESS);
    const ViSession second = open_instrument();
    EXPECT_NE(first, second);
    EXPECT_EQ(viPrintf(first, "X\n"), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClose(second), VI_SUCCESS);
}

TEST_F(SessionHandles, WrongKindOfHandleIsInvalidObject) {
    const ViSession vi = open_instrument();
    ViSession other = VI_NULL;
    // An instrument session is no resource manager.
    EXPECT_EQ(viOpen(vi, instrument().resource_name().c_str(), VI_NULL, 0, &other),
              VI_ERROR_INV_OBJECT);
    EXPECT_EQ(other, static_cast<ViSession>(VI_NULL));
    // A resource manager session does no I/O.
    EXPECT_EQ(viPrintf(rm(), "*RST\n"), VI_ERROR_INV_OBJECT);
    ViUInt32 count = 7;
    EXPECT_EQ(viWrite(rm(), reinterpret_cast<ViConstBuf>("x"), 1, &count), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(instrument().writes().empty());
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

TEST_F(SessionHandles, ClosingResourceManagerClosesItsSessionsOnly) {
    ViSession rm2 = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&rm2), VI_SUCCESS);
    MemoryInstrument second(kVendor, kProduct, "OTHER");
    ViSession a = VI_NULL;
    ViSession b = VI_NULL;
    ASSERT_EQ(viOpen(rm2, instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &a),
              VI_SUCCESS);
    ASSERT_EQ(viOpen(rm(), second.resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &b), VI_SUCCESS);
    EXPECT_EQ(instrument().open_transports(), 1);

    ASSERT_EQ(viClose(rm2), VI_SUCCESS);
    EXPECT_EQ(instrument().open_transports(), 0);  // transport closed
    EXPECT_EQ(viClose(a), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClose(rm2), VI_ERROR_INV_OBJECT);
    // The other resource manager's session is still open.
    EXPECT_EQ(viPrintf(b, "*CLS\n"), VI_SUCCESS);
    EXPECT_EQ(second.open_transports(), 1);
    // The exclusive lock went with the closed session: a new open gets it at once.
    ViSession c = VI_NULL;
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &c),
              VI_SUCCESS);
}

TEST_F(SessionHandles, ClosingNullIsAWarning) {
    EXPECT_EQ(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
}

TEST_F(SessionHandles, NullPointerArgumentsAreErrors) {
    EXPECT_LT(viOpenDefaultRM(nullptr), 0);
    EXPECT_LT(viOpen(rm(), instrument().resource_name().c_str(), VI_NULL, 0, nullptr), 0);
    ViSession vi = 123;
    EXPECT_EQ(viOpen(rm(), nullptr, VI_NULL, 0, &vi), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    vi = open_instrument();
    EXPECT_LT(viPrintf(vi, nullptr), 0);
    EXPECT_LT(viQueryf(vi, "*IDN?\n", nullptr), 0);
    EXPECT_LT(viQueryf(vi, "*IDN?\n", "%T", static_cast<char*>(nullptr)), 0);
    EXPECT_LT(viRead(vi, nullptr, 10, nullptr), 0);
    EXPECT_LT(viWrite(vi, nullptr, 10, nullptr), 0);
    EXPECT_LT(viGetAttribute(vi, VI_ATTR_TMO_VALUE, nullptr), 0);
    EXPECT_TRUE(instrument().writes().empty());
}

TEST_F(SessionHandles, AccessModesOtherThanLockAndLoadConfigAreRejected) {
    for (ViAccessMode mode : {2u, 8u, 0xFFFFFFFFu}) {
        ViSession vi = 99;
        EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), mode, 0, &vi),
                  VI_ERROR_INV_ACC_MODE);
        EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    }
    EXPECT_EQ(instrument().opens(), 0);
    // There is no configuration to load: the session opens, with a warning.
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_LOAD_CONFIG, 0, &vi),
              VI_WARN_CONFIG_NLOADED);
    EXPECT_EQ(viPrintf(vi, "*CLS\n"), VI_SUCCESS);
}

TEST_F(SessionHandles, OpenFailuresLeaveNullHandle) {
    ViSession vi = 99;
    EXPECT_EQ(viOpen(rm(), "USB0::0x4d19::0x0040::", VI_NULL, 0, &vi), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    vi = 99;
    // Well formed, but no such instrument.
    EXPECT_EQ(viOpen(rm(), "USB0::0x4d19::0x0040::NOSUCH::INSTR", VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    vi = 99;
    instrument().fail_open(VI_ERROR_RSRC_BUSY);
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_ERROR_RSRC_BUSY);
    EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
    // The failed exclusive open released its lock.
    instrument().fail_open(VI_SUCCESS);
    EXPECT_EQ(viOpen(rm(), instrument().resource_name().c_str(), VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_SUCCESS);
}

TEST_F(SessionHandles, SerialNumberMatchesWhateverItsCase) {
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(rm(), "usb0::0x4D19::0x0040::sn1234::instr", VI_EXCLUSIVE_LOCK, 0, &vi),
              VI_SUCCESS);
    // The lock is per instrument, not per spelling.
    ViSession other = VI_NULL;
    EXPECT_EQ(viOpen(rm(), "USB0::19737::64::SN1234", VI_EXCLUSIVE_LOCK, 0, &other),
              VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(other, static_cast<ViSession>(VI_NULL));
}

TEST_F(SessionHandles, NonExclusiveSessionIsRefusedWhileAnotherHoldsTheLock) {
    const ViSession locked = open_instrument(VI_EXCLUSIVE_LOCK);
    const ViSession shared = open_instrument(VI_NULL);
    EXPECT_EQ(viPrintf(shared, "*RST\n"), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viPrintf(locked, "*CLS\n"), VI_SUCCESS);
    ASSERT_EQ(viClose(locked), VI_SUCCESS);
    EXPECT_EQ(viPrintf(shared, "*RST\n"), VI_SUCCESS);
    EXPECT_EQ(instrument().messages(), (std::vector<std::string>{"*CLS\n", "*RST\n"}));
}

TEST_F(SessionHandles, TimeoutAttribute) {
    const ViSession vi = open_instrument();
    ViUInt32 tmo = 0;
    ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    EXPECT_EQ(tmo, 2000u);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 150), VI_SUCCESS);
    ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    EXPECT_EQ(tmo, 150u);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 0x100000000ull), VI_ERROR_NSUP_ATTR_STATE);
    // "Immediate" is kept as the shortest timeout a USB transfer can have.
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, VI_TMO_IMMEDIATE), VI_SUCCESS);
    ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
    EXPECT_EQ(tmo, 1u);
    constexpr ViAttr kUsbClass = 0x3FFF01A5;  // an attribute this library does not keep
    tmo = 77;
    EXPECT_EQ(viGetAttribute(vi, kUsbClass, &tmo), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(tmo, 77u);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_RSRC_CLASS, 0), VI_ERROR_ATTR_READONLY);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
    ASSERT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_ERROR_INV_OBJECT);
}

}  // namespace
}  // namespace sgtest
