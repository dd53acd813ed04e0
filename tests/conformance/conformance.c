/*
 * A C program written to the VISA standard's C binding, built with
 * -std=c99 -Wall -Werror against the header as installed:
 *
 * - it takes the address of every operation of the binding, each through a
 *   pointer of the type the standard gives it (result, calling convention,
 *   parameters), so that a declaration that differs from the standard's does
 *   not compile and a missing operation does not link;
 * - against the simulated I/O test instrument (sgsim --io-test) it reads a
 *   line with "%[^\n]", writes a block with "%#b", reads a definite-length
 *   block with "%#b" and a list with "%,#lf", and checks byte for byte what
 *   the instrument received and answered.
 *
 * Usage: conformance RESOURCE SERIAL
 * Prints "ok: ..." or "FAIL: ..." for each check; exit status 0 only when
 * every check passed.
 */
#include <stdio.h>
#include <string.h>
#include <visa.h>

/* Every operation of the binding: result, calling convention, name and
 * parameter types as the standard writes them. */
#define OPERATIONS(OP)                                                                             \
    OP(ViStatus, _VI_FUNC, viOpenDefaultRM, (ViPSession))                                          \
    OP(ViStatus, _VI_FUNC, viFindRsrc,                                                             \
       (ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*))                                \
    OP(ViStatus, _VI_FUNC, viFindNext, (ViFindList, ViChar*))                                      \
    OP(ViStatus, _VI_FUNC, viParseRsrc, (ViSession, ViConstRsrc, ViPUInt16, ViPUInt16))            \
    OP(ViStatus, _VI_FUNC, viParseRsrcEx,                                                          \
       (ViSession, ViConstRsrc, ViPUInt16, ViPUInt16, ViChar*, ViChar*, ViChar*))                  \
    OP(ViStatus, _VI_FUNC, viOpen, (ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession))   \
    OP(ViStatus, _VI_FUNC, viClose, (ViObject))                                                    \
    OP(ViStatus, _VI_FUNC, viSetAttribute, (ViObject, ViAttr, ViAttrState))                        \
    OP(ViStatus, _VI_FUNC, viGetAttribute, (ViObject, ViAttr, void*))                              \
    OP(ViStatus, _VI_FUNC, viStatusDesc, (ViObject, ViStatus, ViChar*))                            \
    OP(ViStatus, _VI_FUNC, viTerminate, (ViObject, ViUInt16, ViJobId))                             \
    OP(ViStatus, _VI_FUNC, viLock, (ViSession, ViAccessMode, ViUInt32, ViConstKeyId, ViChar*))     \
    OP(ViStatus, _VI_FUNC, viUnlock, (ViSession))                                                  \
    OP(ViStatus, _VI_FUNC, viEnableEvent, (ViSession, ViEventType, ViUInt16, ViEventFilter))       \
    OP(ViStatus, _VI_FUNC, viDisableEvent, (ViSession, ViEventType, ViUInt16))                     \
    OP(ViStatus, _VI_FUNC, viDiscardEvents, (ViSession, ViEventType, ViUInt16))                    \
    OP(ViStatus, _VI_FUNC, viWaitOnEvent,                                                          \
       (ViSession, ViEventType, ViUInt32, ViPEventType, ViPEvent))                                 \
    OP(ViStatus, _VI_FUNC, viInstallHandler, (ViSession, ViEventType, ViHndlr, ViAddr))            \
    OP(ViStatus, _VI_FUNC, viUninstallHandler, (ViSession, ViEventType, ViHndlr, ViAddr))          \
    OP(ViStatus, _VI_FUNC, viRead, (ViSession, ViPBuf, ViUInt32, ViPUInt32))                       \
    OP(ViStatus, _VI_FUNC, viReadAsync, (ViSession, ViPBuf, ViUInt32, ViPJobId))                   \
    OP(ViStatus, _VI_FUNC, viReadToFile, (ViSession, ViConstString, ViUInt32, ViPUInt32))          \
    OP(ViStatus, _VI_FUNC, viWrite, (ViSession, ViConstBuf, ViUInt32, ViPUInt32))                  \
    OP(ViStatus, _VI_FUNC, viWriteAsync, (ViSession, ViConstBuf, ViUInt32, ViPJobId))              \
    OP(ViStatus, _VI_FUNC, viWriteFromFile, (ViSession, ViConstString, ViUInt32, ViPUInt32))       \
    OP(ViStatus, _VI_FUNC, viAssertTrigger, (ViSession, ViUInt16))                                 \
    OP(ViStatus, _VI_FUNC, viReadSTB, (ViSession, ViPUInt16))                                      \
    OP(ViStatus, _VI_FUNC, viClear, (ViSession))                                                   \
    OP(ViStatus, _VI_FUNC, viSetBuf, (ViSession, ViUInt16, ViUInt32))                              \
    OP(ViStatus, _VI_FUNC, viFlush, (ViSession, ViUInt16))                                         \
    OP(ViStatus, _VI_FUNC, viBufWrite, (ViSession, ViConstBuf, ViUInt32, ViPUInt32))               \
    OP(ViStatus, _VI_FUNC, viBufRead, (ViSession, ViPBuf, ViUInt32, ViPUInt32))                    \
    OP(ViStatus, _VI_FUNCC, viPrintf, (ViSession, ViConstString, ...))                             \
    OP(ViStatus, _VI_FUNC, viVPrintf, (ViSession, ViConstString, ViVAList))                        \
    OP(ViStatus, _VI_FUNCC, viSPrintf, (ViSession, ViPBuf, ViConstString, ...))                    \
    OP(ViStatus, _VI_FUNC, viVSPrintf, (ViSession, ViPBuf, ViConstString, ViVAList))               \
    OP(ViStatus, _VI_FUNCC, viScanf, (ViSession, ViConstString, ...))                              \
    OP(ViStatus, _VI_FUNC, viVScanf, (ViSession, ViConstString, ViVAList))                         \
    OP(ViStatus, _VI_FUNCC, viSScanf, (ViSession, ViConstBuf, ViConstString, ...))                 \
    OP(ViStatus, _VI_FUNC, viVSScanf, (ViSession, ViConstBuf, ViConstString, ViVAList))            \
    OP(ViStatus, _VI_FUNCC, viQueryf, (ViSession, ViConstString, ViConstString, ...))              \
    OP(ViStatus, _VI_FUNC, viVQueryf, (ViSession, ViConstString, ViConstString, ViVAList))         \
    OP(ViStatus, _VI_FUNC, viIn8, (ViSession, ViUInt16, ViBusAddress, ViPUInt8))                   \
    OP(ViStatus, _VI_FUNC, viOut8, (ViSession, ViUInt16, ViBusAddress, ViUInt8))                   \
    OP(ViStatus, _VI_FUNC, viIn16, (ViSession, ViUInt16, ViBusAddress, ViPUInt16))                 \
    OP(ViStatus, _VI_FUNC, viOut16, (ViSession, ViUInt16, ViBusAddress, ViUInt16))                 \
    OP(ViStatus, _VI_FUNC, viIn32, (ViSession, ViUInt16, ViBusAddress, ViPUInt32))                 \
    OP(ViStatus, _VI_FUNC, viOut32, (ViSession, ViUInt16, ViBusAddress, ViUInt32))                 \
    OP(ViStatus, _VI_FUNC, viIn64, (ViSession, ViUInt16, ViBusAddress, ViPUInt64))                 \
    OP(ViStatus, _VI_FUNC, viOut64, (ViSession, ViUInt16, ViBusAddress, ViUInt64))                 \
    OP(ViStatus, _VI_FUNC, viIn8Ex, (ViSession, ViUInt16, ViBusAddress64, ViPUInt8))               \
    OP(ViStatus, _VI_FUNC, viOut8Ex, (ViSession, ViUInt16, ViBusAddress64, ViUInt8))               \
    OP(ViStatus, _VI_FUNC, viIn16Ex, (ViSession, ViUInt16, ViBusAddress64, ViPUInt16))             \
    OP(ViStatus, _VI_FUNC, viOut16Ex, (ViSession, ViUInt16, ViBusAddress64, ViUInt16))             \
    OP(ViStatus, _VI_FUNC, viIn32Ex, (ViSession, ViUInt16, ViBusAddress64, ViPUInt32))             \
    OP(ViStatus, _VI_FUNC, viOut32Ex, (ViSession, ViUInt16, ViBusAddress64, ViUInt32))             \
    OP(ViStatus, _VI_FUNC, viIn64Ex, (ViSession, ViUInt16, ViBusAddress64, ViPUInt64))             \
    OP(ViStatus, _VI_FUNC, viOut64Ex, (ViSession, ViUInt16, ViBusAddress64, ViUInt64))             \
    OP(ViStatus, _VI_FUNC, viMoveIn8, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt8))    \
    OP(ViStatus, _VI_FUNC, viMoveOut8, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt8))   \
    OP(ViStatus, _VI_FUNC, viMoveIn16, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt16))  \
    OP(ViStatus, _VI_FUNC, viMoveOut16, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt16)) \
    OP(ViStatus, _VI_FUNC, viMoveIn32, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt32))  \
    OP(ViStatus, _VI_FUNC, viMoveOut32, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt32)) \
    OP(ViStatus, _VI_FUNC, viMoveIn64, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt64))  \
    OP(ViStatus, _VI_FUNC, viMoveOut64, (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViAUInt64)) \
    OP(ViStatus, _VI_FUNC, viMoveIn8Ex,                                                            \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt8))                                 \
    OP(ViStatus, _VI_FUNC, viMoveOut8Ex,                                                           \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt8))                                 \
    OP(ViStatus, _VI_FUNC, viMoveIn16Ex,                                                           \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt16))                                \
    OP(ViStatus, _VI_FUNC, viMoveOut16Ex,                                                          \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt16))                                \
    OP(ViStatus, _VI_FUNC, viMoveIn32Ex,                                                           \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt32))                                \
    OP(ViStatus, _VI_FUNC, viMoveOut32Ex,                                                          \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt32))                                \
    OP(ViStatus, _VI_FUNC, viMoveIn64Ex,                                                           \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt64))                                \
    OP(ViStatus, _VI_FUNC, viMoveOut64Ex,                                                          \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViAUInt64))                                \
    OP(ViStatus, _VI_FUNC, viMove,                                                                 \
       (ViSession, ViUInt16, ViBusAddress, ViUInt16, ViUInt16, ViBusAddress, ViUInt16, ViBusSize)) \
    OP(ViStatus, _VI_FUNC, viMoveAsync,                                                            \
       (ViSession, ViUInt16, ViBusAddress, ViUInt16, ViUInt16, ViBusAddress, ViUInt16, ViBusSize,  \
        ViPJobId))                                                                                 \
    OP(ViStatus, _VI_FUNC, viMoveEx,                                                               \
       (ViSession, ViUInt16, ViBusAddress64, ViUInt16, ViUInt16, ViBusAddress64, ViUInt16,         \
        ViBusSize))                                                                                \
    OP(ViStatus, _VI_FUNC, viMoveAsyncEx,                                                          \
       (ViSession, ViUInt16, ViBusAddress64, ViUInt16, ViUInt16, ViBusAddress64, ViUInt16,         \
        ViBusSize, ViPJobId))                                                                      \
    OP(ViStatus, _VI_FUNC, viMapAddress,                                                           \
       (ViSession, ViUInt16, ViBusAddress, ViBusSize, ViBoolean, ViAddr, ViPAddr))                 \
    OP(ViStatus, _VI_FUNC, viMapAddressEx,                                                         \
       (ViSession, ViUInt16, ViBusAddress64, ViBusSize, ViBoolean, ViAddr, ViPAddr))               \
    OP(ViStatus, _VI_FUNC, viUnmapAddress, (ViSession))                                            \
    OP(void, _VI_FUNC, viPeek8, (ViSession, ViAddr, ViPUInt8))                                     \
    OP(void, _VI_FUNC, viPoke8, (ViSession, ViAddr, ViUInt8))                                      \
    OP(void, _VI_FUNC, viPeek16, (ViSession, ViAddr, ViPUInt16))                                   \
    OP(void, _VI_FUNC, viPoke16, (ViSession, ViAddr, ViUInt16))                                    \
    OP(void, _VI_FUNC, viPeek32, (ViSession, ViAddr, ViPUInt32))                                   \
    OP(void, _VI_FUNC, viPoke32, (ViSession, ViAddr, ViUInt32))                                    \
    OP(void, _VI_FUNC, viPeek64, (ViSession, ViAddr, ViPUInt64))                                   \
    OP(void, _VI_FUNC, viPoke64, (ViSession, ViAddr, ViUInt64))                                    \
    OP(ViStatus, _VI_FUNC, viMemAlloc, (ViSession, ViBusSize, ViPBusAddress))                      \
    OP(ViStatus, _VI_FUNC, viMemAllocEx, (ViSession, ViBusSize, ViPBusAddress64))                  \
    OP(ViStatus, _VI_FUNC, viMemFree, (ViSession, ViBusAddress))                                   \
    OP(ViStatus, _VI_FUNC, viMemFreeEx, (ViSession, ViBusAddress64))                               \
    OP(ViStatus, _VI_FUNC, viGpibControlREN, (ViSession, ViUInt16))                                \
    OP(ViStatus, _VI_FUNC, viGpibControlATN, (ViSession, ViUInt16))                                \
    OP(ViStatus, _VI_FUNC, viGpibSendIFC, (ViSession))                                             \
    OP(ViStatus, _VI_FUNC, viGpibCommand, (ViSession, ViConstBuf, ViUInt32, ViPUInt32))            \
    OP(ViStatus, _VI_FUNC, viGpibPassControl, (ViSession, ViUInt16, ViUInt16))                     \
    OP(ViStatus, _VI_FUNC, viVxiCommandQuery, (ViSession, ViUInt16, ViUInt32, ViPUInt32))          \
    OP(ViStatus, _VI_FUNC, viAssertUtilSignal, (ViSession, ViUInt16))                              \
    OP(ViStatus, _VI_FUNC, viAssertIntrSignal, (ViSession, ViInt16, ViUInt32))                     \
    OP(ViStatus, _VI_FUNC, viMapTrigger, (ViSession, ViInt16, ViInt16, ViUInt16))                  \
    OP(ViStatus, _VI_FUNC, viUnmapTrigger, (ViSession, ViInt16, ViInt16))                          \
    OP(ViStatus, _VI_FUNC, viUsbControlOut,                                                        \
       (ViSession, ViInt16, ViInt16, ViUInt16, ViUInt16, ViUInt16, ViConstBuf))                    \
    OP(ViStatus, _VI_FUNC, viUsbControlIn,                                                         \
       (ViSession, ViInt16, ViInt16, ViUInt16, ViUInt16, ViUInt16, ViPBuf, ViPUInt16))             \
    OP(ViStatus, _VI_FUNC, viPxiReserveTriggers, (ViSession, ViInt16, ViAInt16, ViAInt16, ViPInt16))

typedef void (*any_operation)(void);

#define TYPED_POINTER(result, convention, name, parameters) \
    static result(convention* const typed_##name) parameters = name;
OPERATIONS(TYPED_POINTER)

#define TABLE_ROW(result, convention, name, parameters) (any_operation) typed_##name,
static const any_operation operations[] = {OPERATIONS(TABLE_ROW)};
#define OPERATION_COUNT (sizeof operations / sizeof operations[0])

static int failures = 0;

static void report(int passed, const char* check, ViSession vi, ViStatus status) {
    char words[256] = "";
    if (status != VI_SUCCESS && viStatusDesc(vi, status, words) < VI_SUCCESS)
        words[0] = '\0';
    printf("%s: %s (status 0x%08lX%s%s)\n", passed ? "ok" : "FAIL", check,
           (unsigned long)(ViUInt32)status, words[0] ? ": " : "", words);
    if (!passed)
        ++failures;
}

/* The identification, a line read with a character set. */
static void read_line(ViSession vi, const char* serial) {
    char line[256] = "";
    char expected[256];
    ViStatus status = viQueryf(vi, "*IDN?\n", "%255[^\n]", line);
    snprintf(expected, sizeof expected, "Simulated Signal Sources,IO-TEST,%s,1.0", serial);
    report(status == VI_SUCCESS && strcmp(line, expected) == 0, "\"%255[^\\n]\" reads *IDN?", vi,
           status);
    if (status == VI_SUCCESS && strcmp(line, expected) != 0)
        printf("  read \"%s\", expected \"%s\"\n", line, expected);
}

/* The instrument keeps the next message it receives and answers it with
 * SEND as it came (SENDBLOCK: as a definite-length block). A device clear
 * first, so that no check inherits what an earlier one left. */
static ViStatus keep_next_message(ViSession vi) {
    ViStatus status = viClear(vi);
    return status == VI_SUCCESS ? viPrintf(vi, "RECEIVE\n") : status;
}

/* A block written with "%#b", its count an argument: the instrument must
 * have received "#216", the 16 bytes and the linefeed, which SEND gives
 * back. */
static void write_block(ViSession vi) {
    static const ViByte data[16] = {0x00, 0x01, 0x0A, 0x0D, 0x23, 0x32, 0x7F, 0x80,
                                    0xFF, 0x0A, 0x00, 0x25, 0x62, 0x5C, 0xFE, 0x41};
    ViByte expected[4 + sizeof data + 1] = {'#', '2', '1', '6'};
    ViByte echo[64];
    ViUInt32 count = 0;
    ViStatus status = keep_next_message(vi);
    memcpy(expected + 4, data, sizeof data);
    expected[sizeof expected - 1] = '\n';
    if (status == VI_SUCCESS)
        status = viPrintf(vi, "%#b\n", (ViInt32)sizeof data, data);
    if (status == VI_SUCCESS)
        status = viPrintf(vi, "SEND\n");
    if (status == VI_SUCCESS)
        status = viRead(vi, echo, sizeof echo, &count);
    report(status == VI_SUCCESS && count == sizeof expected &&
               memcmp(echo, expected, sizeof expected) == 0,
           "\"%#b\" writes #216<16 bytes>\\n, byte for byte", vi, status);
}

/* A definite-length block read with "%#b": the count goes in as the room
 * and comes out as the bytes stored. */
static void read_block(ViSession vi) {
    static const ViByte data[] = {0x23, 0x39, 0x00, 0xFF, 0x0A, 0x0D, 0x80, 0x7F,
                                  0x31, 0x32, 0x33, 0x00, 0x01, 0x02, 0x0A};
    ViByte got[64];
    ViInt32 count = (ViInt32)sizeof got;
    ViUInt32 written = 0;
    ViStatus status = keep_next_message(vi);
    memset(got, 0xEE, sizeof got);
    if (status == VI_SUCCESS)
        status = viWrite(vi, data, sizeof data, &written);
    if (status == VI_SUCCESS)
        status = viQueryf(vi, "SENDBLOCK\n", "%#b", &count, got);
    report(status == VI_SUCCESS && count == (ViInt32)sizeof data &&
               memcmp(got, data, sizeof data) == 0 && got[sizeof data] == 0xEE,
           "\"%#b\" reads a definite-length block of 15 bytes", vi, status);
    if (status == VI_SUCCESS && count != (ViInt32)sizeof data)
        printf("  count %ld, expected %ld\n", (long)count, (long)sizeof data);
}

/* A comma-separated list read with "%,#lf": four numbers into room for 8. */
static void read_list(ViSession vi) {
    static const double expected[4] = {1.5, -2.25, 3e3, 0.125};
    double got[8] = {0};
    ViInt32 count = 8;
    ViStatus status = keep_next_message(vi);
    if (status == VI_SUCCESS)
        status = viPrintf(vi, "1.5,-2.25,3e3,0.125\n");
    if (status == VI_SUCCESS)
        status = viQueryf(vi, "SEND\n", "%,#lf", &count, got);
    report(status == VI_SUCCESS && count == 4 && memcmp(got, expected, sizeof expected) == 0 &&
               got[4] == 0.0,
           "\"%,#lf\" reads the list 1.5,-2.25,3e3,0.125", vi, status);
}

int main(int argc, char** argv) {
    ViSession rm = VI_NULL;
    ViSession vi = VI_NULL;
    ViStatus status;

    if (argc != 3) {
        fprintf(stderr, "usage: conformance RESOURCE SERIAL\n");
        return 2;
    }
    printf("the program takes the address of %u operations\n", (unsigned)OPERATION_COUNT);
    status = viOpenDefaultRM(&rm);
    if (status == VI_SUCCESS)
        status = viOpen(rm, argv[1], VI_NULL, 2000, &vi);
    report(status == VI_SUCCESS, "viOpen", rm, status);
    if (status != VI_SUCCESS)
        return 1;
    status = viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000);
    report(status == VI_SUCCESS, "VI_ATTR_TMO_VALUE 2000 ms", vi, status);

    read_line(vi, argv[2]);
    write_block(vi);
    read_block(vi);
    read_list(vi);

    viClose(vi);
    viClose(rm);
    return failures == 0 ? 0 : 1;
}
