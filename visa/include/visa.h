/*
 * visa.h - public C API of sgvisa, a small VISA library for USB (USBTMC)
 * instruments.
 *
 * Written from the public VISA standard: the type names, operation
 * signatures and numeric values of status codes and attributes are the
 * standard's, so a program written against this header can be linked
 * against any other VISA implementation without a source change.
 *
 * All integer types are fixed width: on Linux an unsigned long is 64 bits,
 * while VISA's ViUInt32/ViInt32 are 32 bits.
 *
 * Every type, constant and operation of the standard's C binding is here.
 * The library serves USB INSTR resources (USBTMC, USB488); an operation
 * that applies to no resource it serves (register access, VXI, PXI, GPIB
 * bus control) returns VI_ERROR_NSUP_OPER and does nothing else
 * (docs/behaviour.md lists them).
 */
#ifndef SGVISA_VISA_H
#define SGVISA_VISA_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Calling conventions ---------------------------------------------
 * The standard's: on 32-bit Windows the operations with fixed arguments (and
 * the event handlers an application passes, _VI_FUNCH) are __stdcall, those
 * with a variable argument list __cdecl, as visa32.dll exports them;
 * elsewhere there is one calling convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define _VI_FUNC __stdcall
#define _VI_FUNCC __cdecl
#define _VI_FUNCH __stdcall
#else
#define _VI_FUNC
#define _VI_FUNCC
#define _VI_FUNCH
#endif
#define _VI_PTR *
#define _VI_FAR
#define _VI_ERROR (-2147483647L - 1)
#define _VI_INT64_UINT64_DEFINED
#if UINTPTR_MAX > 0xFFFFFFFFu
#define _VISA_ENV_IS_64_BIT
#endif

/* ---- Basic types ------------------------------------------------------- */
typedef uint64_t ViUInt64;
typedef int64_t ViInt64;
typedef uint32_t ViUInt32;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;
typedef int16_t ViInt16;
typedef uint8_t ViUInt8;
typedef int8_t ViInt8;
typedef char ViChar;
typedef unsigned char ViByte;
typedef ViUInt16 ViBoolean;
typedef float ViReal32;
typedef double ViReal64;
typedef void* ViAddr;

typedef ViUInt64* ViPUInt64;
typedef ViUInt32* ViPUInt32;
typedef ViUInt16* ViPUInt16;
typedef ViUInt8* ViPUInt8;
typedef ViInt32* ViPInt32;
typedef ViInt16* ViPInt16;
typedef ViBoolean* ViPBoolean;
typedef ViByte* ViBuf;
typedef ViByte* ViPBuf;
typedef const ViByte* ViConstBuf;
typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViChar* ViRsrc;
typedef const ViChar* ViConstRsrc;
typedef ViChar* ViKeyId;
typedef const ViChar* ViConstKeyId;
typedef ViChar* ViPChar;
typedef va_list ViVAList;

typedef ViInt64* ViPInt64;
typedef ViInt8* ViPInt8;
typedef ViByte* ViPByte;
typedef ViReal32* ViPReal32;
typedef ViReal64* ViPReal64;
typedef ViAddr* ViPAddr;
typedef ViChar* ViPString;
typedef ViChar* ViPRsrc;
typedef ViChar* ViPKeyId;

/* The array forms: a pointer to the first element. */
typedef ViUInt64* ViAUInt64;
typedef ViInt64* ViAInt64;
typedef ViUInt32* ViAUInt32;
typedef ViInt32* ViAInt32;
typedef ViUInt16* ViAUInt16;
typedef ViInt16* ViAInt16;
typedef ViUInt8* ViAUInt8;
typedef ViInt8* ViAInt8;
typedef ViChar* ViAChar;
typedef ViByte* ViAByte;
typedef ViBoolean* ViABoolean;
typedef ViReal32* ViAReal32;
typedef ViReal64* ViAReal64;
typedef ViAddr* ViAAddr;
typedef ViBuf* ViABuf;
typedef ViString* ViAString;
typedef ViRsrc* ViARsrc;
typedef ViKeyId* ViAKeyId;

/* ---- VISA-specific types ----------------------------------------------- */
typedef ViInt32 ViStatus;
typedef ViStatus* ViPStatus;
typedef ViStatus* ViAStatus;
/* A version: major in bits 31-20, minor in bits 19-8, subminor in 7-0. */
typedef ViUInt32 ViVersion;
typedef ViVersion* ViPVersion;
typedef ViVersion* ViAVersion;
typedef ViUInt32 ViObject;
typedef ViObject* ViPObject;
typedef ViObject* ViAObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViSession* ViASession;
typedef ViObject ViFindList;
typedef ViFindList* ViPFindList;
typedef ViObject ViEvent;
typedef ViEvent* ViPEvent;
typedef ViUInt32 ViEventType;
typedef ViEventType* ViPEventType;
typedef ViEventType* ViAEventType;
typedef ViUInt32 ViEventFilter;
typedef ViUInt32 ViAccessMode;
typedef ViAccessMode* ViPAccessMode;
typedef ViUInt32 ViAttr;
typedef ViAttr* ViPAttr;
typedef ViAttr* ViAAttr;
/* An attribute value, a bus address and a bus size are as wide as a pointer
 * (32 bits for visa32.dll); the 64-bit bus address of the Ex operations is
 * 64 bits everywhere. */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
typedef ViUInt64 ViBusAddress;
typedef ViUInt64 ViBusSize;
#else
typedef ViUInt32 ViAttrState;
typedef ViUInt32 ViBusAddress;
typedef ViUInt32 ViBusSize;
#endif
typedef ViAttrState* ViPAttrState;
typedef ViBusAddress* ViPBusAddress;
typedef ViUInt64 ViBusAddress64;
typedef ViBusAddress64* ViPBusAddress64;
typedef ViUInt32 ViJobId;
typedef ViJobId* ViPJobId;
typedef ViStatus(_VI_FUNCH _VI_PTR ViHndlr)(ViSession vi, ViEventType eventType, ViEvent event,
                                            ViAddr userHandle);

/* ---- Constants --------------------------------------------------------- */
#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

#define VI_SPEC_VERSION 0x00700100UL
#define VI_VERSION_MAJOR(ver) ((((ViVersion)(ver)) & 0xFFF00000UL) >> 20)
#define VI_VERSION_MINOR(ver) ((((ViVersion)(ver)) & 0x000FFF00UL) >> 8)
#define VI_VERSION_SUBMINOR(ver) (((ViVersion)(ver)) & 0x000000FFUL)
#define VI_FIND_BUFLEN 256

#define VI_NO_LOCK 0
#define VI_EXCLUSIVE_LOCK 1
#define VI_SHARED_LOCK 2
#define VI_LOAD_CONFIG 4

#define VI_TMO_IMMEDIATE 0x00000000UL
#define VI_TMO_INFINITE 0xFFFFFFFFUL

#define VI_INTF_GPIB 1
#define VI_INTF_VXI 2
#define VI_INTF_GPIB_VXI 3
#define VI_INTF_ASRL 4
#define VI_INTF_PXI 5
#define VI_INTF_TCPIP 6
#define VI_INTF_USB 7

#define VI_PROT_NORMAL 1
#define VI_PROT_FDC 2
#define VI_PROT_HS488 3
#define VI_PROT_4882_STRS 4
#define VI_PROT_USBTMC_VENDOR 5

#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_WRITE_BUF_DISCARD 8
#define VI_IO_IN_BUF 16
#define VI_IO_OUT_BUF 32
#define VI_IO_IN_BUF_DISCARD 64
#define VI_IO_OUT_BUF_DISCARD 128

#define VI_FLUSH_ON_ACCESS 1
#define VI_FLUSH_WHEN_FULL 2
#define VI_FLUSH_DISABLE 3

#define VI_QUEUE 1
#define VI_HNDLR 2
#define VI_SUSPEND_HNDLR 4
#define VI_ALL_MECH 0xFFFF
#define VI_ANY_HNDLR 0

#define VI_TRIG_PROT_DEFAULT 0

#define VI_GPIB_REN_DEASSERT 0
#define VI_GPIB_REN_ASSERT 1
#define VI_GPIB_REN_DEASSERT_GTL 2
#define VI_GPIB_REN_ASSERT_ADDRESS 3
#define VI_GPIB_REN_ASSERT_LLO 4
#define VI_GPIB_REN_ASSERT_ADDRESS_LLO 5
#define VI_GPIB_REN_ADDRESS_GTL 6

#define VI_FDC_NORMAL 1
#define VI_FDC_STREAM 2
#define VI_LOCAL_SPACE 0
#define VI_A16_SPACE 1
#define VI_A24_SPACE 2
#define VI_A32_SPACE 3
#define VI_A64_SPACE 4
#define VI_OPAQUE_SPACE 0xFFFF
#define VI_UNKNOWN_LA (-1)
#define VI_UNKNOWN_SLOT (-1)
#define VI_UNKNOWN_LEVEL (-1)
#define VI_TRIG_ALL (-2)
#define VI_TRIG_SW (-1)
#define VI_TRIG_TTL0 0
#define VI_TRIG_TTL1 1
#define VI_TRIG_TTL2 2
#define VI_TRIG_TTL3 3
#define VI_TRIG_TTL4 4
#define VI_TRIG_TTL5 5
#define VI_TRIG_TTL6 6
#define VI_TRIG_TTL7 7
#define VI_TRIG_TTL8 32
#define VI_TRIG_TTL9 33
#define VI_TRIG_TTL10 34
#define VI_TRIG_TTL11 35
#define VI_TRIG_ECL0 8
#define VI_TRIG_ECL1 9
#define VI_TRIG_ECL2 10
#define VI_TRIG_ECL3 11
#define VI_TRIG_ECL4 12
#define VI_TRIG_ECL5 13
#define VI_TRIG_STAR_SLOT1 14
#define VI_TRIG_STAR_SLOT2 15
#define VI_TRIG_STAR_SLOT3 16
#define VI_TRIG_STAR_SLOT4 17
#define VI_TRIG_STAR_SLOT5 18
#define VI_TRIG_STAR_SLOT6 19
#define VI_TRIG_STAR_SLOT7 20
#define VI_TRIG_STAR_SLOT8 21
#define VI_TRIG_STAR_SLOT9 22
#define VI_TRIG_STAR_SLOT10 23
#define VI_TRIG_STAR_SLOT11 24
#define VI_TRIG_STAR_SLOT12 25
#define VI_TRIG_STAR_INSTR 26
#define VI_TRIG_PANEL_IN 27
#define VI_TRIG_PANEL_OUT 28
#define VI_TRIG_STAR_VXI0 29
#define VI_TRIG_STAR_VXI1 30
#define VI_TRIG_STAR_VXI2 31
#define VI_TRIG_PROT_ON 1
#define VI_TRIG_PROT_OFF 2
#define VI_TRIG_PROT_SYNC 5
#define VI_TRIG_PROT_RESERVE 6
#define VI_TRIG_PROT_UNRESERVE 7
#define VI_NMAPPED 1
#define VI_USE_OPERS 2
#define VI_DEREF_ADDR 3
#define VI_NO_SEC_ADDR 0xFFFF
#define VI_ASRL_PAR_NONE 0
#define VI_ASRL_PAR_ODD 1
#define VI_ASRL_PAR_EVEN 2
#define VI_ASRL_PAR_MARK 3
#define VI_ASRL_PAR_SPACE 4
#define VI_ASRL_STOP_ONE 10
#define VI_ASRL_STOP_ONE5 15
#define VI_ASRL_STOP_TWO 20
#define VI_ASRL_FLOW_NONE 0
#define VI_ASRL_FLOW_XON_XOFF 1
#define VI_ASRL_FLOW_RTS_CTS 2
#define VI_ASRL_FLOW_DTR_DSR 4
#define VI_ASRL_END_NONE 0
#define VI_ASRL_END_LAST_BIT 1
#define VI_ASRL_END_TERMCHAR 2
#define VI_ASRL_END_BREAK 3
#define VI_STATE_ASSERTED 1
#define VI_STATE_UNASSERTED 0
#define VI_STATE_UNKNOWN (-1)
#define VI_BIG_ENDIAN 0
#define VI_LITTLE_ENDIAN 1
#define VI_DATA_PRIV 0
#define VI_DATA_NPRIV 1
#define VI_PROG_PRIV 2
#define VI_PROG_NPRIV 3
#define VI_BLCK_PRIV 4
#define VI_BLCK_NPRIV 5
#define VI_D64_PRIV 6
#define VI_D64_NPRIV 7
#define VI_D64_2EVME 8
#define VI_D64_SST160 9
#define VI_D64_SST267 10
#define VI_D64_SST320 11
#define VI_WIDTH_8 1
#define VI_WIDTH_16 2
#define VI_WIDTH_32 4
#define VI_WIDTH_64 8
#define VI_GPIB_ATN_DEASSERT 0
#define VI_GPIB_ATN_ASSERT 1
#define VI_GPIB_ATN_DEASSERT_HANDSHAKE 2
#define VI_GPIB_ATN_ASSERT_IMMEDIATE 3
#define VI_GPIB_HS488_DISABLED 0
#define VI_GPIB_HS488_NIMPL (-1)
#define VI_GPIB_UNADDRESSED 0
#define VI_GPIB_TALKER 1
#define VI_GPIB_LISTENER 2
#define VI_VXI_CMD16 0x0200
#define VI_VXI_CMD16_RESP16 0x0202
#define VI_VXI_RESP16 0x0002
#define VI_VXI_CMD32 0x0400
#define VI_VXI_CMD32_RESP16 0x0402
#define VI_VXI_CMD32_RESP32 0x0404
#define VI_VXI_RESP32 0x0004
#define VI_ASSERT_SIGNAL (-1)
#define VI_ASSERT_USE_ASSIGNED 0
#define VI_ASSERT_IRQ1 1
#define VI_ASSERT_IRQ2 2
#define VI_ASSERT_IRQ3 3
#define VI_ASSERT_IRQ4 4
#define VI_ASSERT_IRQ5 5
#define VI_ASSERT_IRQ6 6
#define VI_ASSERT_IRQ7 7
#define VI_UTIL_ASSERT_SYSRESET 1
#define VI_UTIL_ASSERT_SYSFAIL 2
#define VI_UTIL_DEASSERT_SYSFAIL 3
#define VI_VXI_CLASS_MEMORY 0
#define VI_VXI_CLASS_EXTENDED 1
#define VI_VXI_CLASS_MESSAGE 2
#define VI_VXI_CLASS_REGISTER 3
#define VI_VXI_CLASS_OTHER 4
#define VI_PXI_LBUS_UNKNOWN (-1)
#define VI_PXI_LBUS_NONE 0
#define VI_PXI_LBUS_STAR_TRIG_BUS_0 1000
#define VI_PXI_LBUS_STAR_TRIG_BUS_1 1001
#define VI_PXI_LBUS_STAR_TRIG_BUS_2 1002
#define VI_PXI_LBUS_STAR_TRIG_BUS_3 1003
#define VI_PXI_LBUS_STAR_TRIG_BUS_4 1004
#define VI_PXI_LBUS_STAR_TRIG_BUS_5 1005
#define VI_PXI_LBUS_STAR_TRIG_BUS_6 1006
#define VI_PXI_LBUS_STAR_TRIG_BUS_7 1007
#define VI_PXI_LBUS_STAR_TRIG_BUS_8 1008
#define VI_PXI_LBUS_STAR_TRIG_BUS_9 1009
#define VI_PXI_STAR_TRIG_CONTROLLER 1413
#define VI_PXI_LBUS_SCXI 2000
#define VI_PXI_ALLOC_SPACE 9
#define VI_PXI_CFG_SPACE 10
#define VI_PXI_BAR0_SPACE 11
#define VI_PXI_BAR1_SPACE 12
#define VI_PXI_BAR2_SPACE 13
#define VI_PXI_BAR3_SPACE 14
#define VI_PXI_BAR4_SPACE 15
#define VI_PXI_BAR5_SPACE 16
#define VI_PXI_ADDR_NONE 0
#define VI_PXI_ADDR_MEM 1
#define VI_PXI_ADDR_IO 2
#define VI_PXI_ADDR_CFG 3
#define VI_USB_PIPE_STATE_UNKNOWN (-1)
#define VI_USB_PIPE_READY 0
#define VI_USB_PIPE_STALLED 1
#define VI_USB_END_NONE 0
#define VI_USB_END_SHORT 4
#define VI_USB_END_SHORT_OR_COUNT 5

/* Older names of the same values. */
#define VI_NORMAL VI_PROT_NORMAL
#define VI_FDC VI_PROT_FDC
#define VI_HS488 VI_PROT_HS488
#define VI_ASRL488 VI_PROT_4882_STRS
#define VI_ASRL_IN_BUF VI_IO_IN_BUF
#define VI_ASRL_OUT_BUF VI_IO_OUT_BUF
#define VI_ASRL_IN_BUF_DISCARD VI_IO_IN_BUF_DISCARD
#define VI_ASRL_OUT_BUF_DISCARD VI_IO_OUT_BUF_DISCARD

/* ---- Attributes -------------------------------------------------------- */
#define VI_ATTR_RSRC_CLASS 0xBFFF0001UL
#define VI_ATTR_RSRC_NAME 0xBFFF0002UL
#define VI_ATTR_RSRC_IMPL_VERSION 0x3FFF0003UL
#define VI_ATTR_RSRC_LOCK_STATE 0x3FFF0004UL
#define VI_ATTR_MAX_QUEUE_LENGTH 0x3FFF0005UL
#define VI_ATTR_USER_DATA 0x3FFF0007UL
#define VI_ATTR_SEND_END_EN 0x3FFF0016UL
#define VI_ATTR_TERMCHAR 0x3FFF0018UL
#define VI_ATTR_TMO_VALUE 0x3FFF001AUL
#define VI_ATTR_IO_PROT 0x3FFF001CUL
#define VI_ATTR_RD_BUF_OPER_MODE 0x3FFF002AUL
#define VI_ATTR_RD_BUF_SIZE 0x3FFF002BUL
#define VI_ATTR_WR_BUF_OPER_MODE 0x3FFF002DUL
#define VI_ATTR_WR_BUF_SIZE 0x3FFF002EUL
#define VI_ATTR_SUPPRESS_END_EN 0x3FFF0036UL
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038UL
#define VI_ATTR_MANF_NAME 0xBFFF0072UL
#define VI_ATTR_MODEL_NAME 0xBFFF0077UL
#define VI_ATTR_RM_SESSION 0x3FFF00C4UL
#define VI_ATTR_MANF_ID 0x3FFF00D9UL
#define VI_ATTR_MODEL_CODE 0x3FFF00DFUL
#define VI_ATTR_RSRC_SPEC_VERSION 0x3FFF0170UL
#define VI_ATTR_INTF_TYPE 0x3FFF0171UL
#define VI_ATTR_RSRC_MANF_NAME 0xBFFF0174UL
#define VI_ATTR_RSRC_MANF_ID 0x3FFF0175UL
#define VI_ATTR_INTF_NUM 0x3FFF0176UL
#define VI_ATTR_TRIG_ID 0x3FFF0177UL
#define VI_ATTR_INTF_INST_NAME 0xBFFF00E9UL
#define VI_ATTR_DEV_STATUS_BYTE 0x3FFF0189UL
#define VI_ATTR_FILE_APPEND_EN 0x3FFF0192UL
#define VI_ATTR_4882_COMPLIANT 0x3FFF019FUL
#define VI_ATTR_USB_SERIAL_NUM 0xBFFF01A0UL
#define VI_ATTR_USB_INTFC_NUM 0x3FFF01A1UL
#define VI_ATTR_USB_PROTOCOL 0x3FFF01A7UL
#define VI_ATTR_USB_MAX_INTR_SIZE 0x3FFF01AFUL
#define VI_ATTR_JOB_ID 0x3FFF4006UL
#define VI_ATTR_EVENT_TYPE 0x3FFF4010UL
#define VI_ATTR_STATUS 0x3FFF4025UL
#define VI_ATTR_RET_COUNT 0x3FFF4026UL
#define VI_ATTR_BUFFER 0x3FFF4027UL
#define VI_ATTR_OPER_NAME 0xBFFF4042UL

#define VI_ATTR_USER_DATA_32 0x3FFF0007UL
#define VI_ATTR_USER_DATA_64 0x3FFF000AUL
#define VI_ATTR_FDC_CHNL 0x3FFF000DUL
#define VI_ATTR_FDC_MODE 0x3FFF000FUL
#define VI_ATTR_FDC_GEN_SIGNAL_EN 0x3FFF0011UL
#define VI_ATTR_FDC_USE_PAIR 0x3FFF0013UL
#define VI_ATTR_GPIB_READDR_EN 0x3FFF001BUL
#define VI_ATTR_DMA_ALLOW_EN 0x3FFF001EUL
#define VI_ATTR_ASRL_BAUD 0x3FFF0021UL
#define VI_ATTR_ASRL_DATA_BITS 0x3FFF0022UL
#define VI_ATTR_ASRL_PARITY 0x3FFF0023UL
#define VI_ATTR_ASRL_STOP_BITS 0x3FFF0024UL
#define VI_ATTR_ASRL_FLOW_CNTRL 0x3FFF0025UL
#define VI_ATTR_ASRL_DISCARD_NULL 0x3FFF00B0UL
#define VI_ATTR_ASRL_CONNECTED 0x3FFF01BBUL
#define VI_ATTR_ASRL_BREAK_STATE 0x3FFF01BCUL
#define VI_ATTR_ASRL_BREAK_LEN 0x3FFF01BDUL
#define VI_ATTR_ASRL_ALLOW_TRANSMIT 0x3FFF01BEUL
#define VI_ATTR_DEST_ACCESS_PRIV 0x3FFF0039UL
#define VI_ATTR_DEST_BYTE_ORDER 0x3FFF003AUL
#define VI_ATTR_SRC_ACCESS_PRIV 0x3FFF003CUL
#define VI_ATTR_SRC_BYTE_ORDER 0x3FFF003DUL
#define VI_ATTR_SRC_INCREMENT 0x3FFF0040UL
#define VI_ATTR_DEST_INCREMENT 0x3FFF0041UL
#define VI_ATTR_WIN_ACCESS_PRIV 0x3FFF0045UL
#define VI_ATTR_WIN_BYTE_ORDER 0x3FFF0047UL
#define VI_ATTR_GPIB_ATN_STATE 0x3FFF0057UL
#define VI_ATTR_GPIB_ADDR_STATE 0x3FFF005CUL
#define VI_ATTR_GPIB_CIC_STATE 0x3FFF005EUL
#define VI_ATTR_GPIB_NDAC_STATE 0x3FFF0062UL
#define VI_ATTR_GPIB_SRQ_STATE 0x3FFF0067UL
#define VI_ATTR_GPIB_SYS_CNTRL_STATE 0x3FFF0068UL
#define VI_ATTR_GPIB_HS488_CBL_LEN 0x3FFF0069UL
#define VI_ATTR_CMDR_LA 0x3FFF006BUL
#define VI_ATTR_VXI_DEV_CLASS 0x3FFF006CUL
#define VI_ATTR_MAINFRAME_LA 0x3FFF0070UL
#define VI_ATTR_VXI_VME_INTR_STATUS 0x3FFF008BUL
#define VI_ATTR_VXI_TRIG_STATUS 0x3FFF008DUL
#define VI_ATTR_VXI_VME_SYSFAIL_STATE 0x3FFF0094UL
#define VI_ATTR_WIN_BASE_ADDR_32 0x3FFF0098UL
#define VI_ATTR_WIN_BASE_ADDR_64 0x3FFF009BUL
#define VI_ATTR_WIN_SIZE 0x3FFF009AUL
#define VI_ATTR_ASRL_AVAIL_NUM 0x3FFF00ACUL
#define VI_ATTR_MEM_BASE_32 0x3FFF00ADUL
#define VI_ATTR_MEM_BASE_64 0x3FFF00D0UL
#define VI_ATTR_ASRL_CTS_STATE 0x3FFF00AEUL
#define VI_ATTR_ASRL_DCD_STATE 0x3FFF00AFUL
#define VI_ATTR_ASRL_DSR_STATE 0x3FFF00B1UL
#define VI_ATTR_ASRL_DTR_STATE 0x3FFF00B2UL
#define VI_ATTR_ASRL_END_IN 0x3FFF00B3UL
#define VI_ATTR_ASRL_END_OUT 0x3FFF00B4UL
#define VI_ATTR_ASRL_REPLACE_CHAR 0x3FFF00BEUL
#define VI_ATTR_ASRL_RI_STATE 0x3FFF00BFUL
#define VI_ATTR_ASRL_RTS_STATE 0x3FFF00C0UL
#define VI_ATTR_ASRL_XON_CHAR 0x3FFF00C1UL
#define VI_ATTR_ASRL_XOFF_CHAR 0x3FFF00C2UL
#define VI_ATTR_WIN_ACCESS 0x3FFF00C3UL
#define VI_ATTR_VXI_LA 0x3FFF00D5UL
#define VI_ATTR_MEM_SIZE_32 0x3FFF00DDUL
#define VI_ATTR_MEM_SIZE_64 0x3FFF00D1UL
#define VI_ATTR_MEM_SPACE 0x3FFF00DEUL
#define VI_ATTR_SLOT 0x3FFF00E8UL
#define VI_ATTR_IMMEDIATE_SERV 0x3FFF0100UL
#define VI_ATTR_INTF_PARENT_NUM 0x3FFF0101UL
#define VI_ATTR_GPIB_PRIMARY_ADDR 0x3FFF0172UL
#define VI_ATTR_GPIB_SECONDARY_ADDR 0x3FFF0173UL
#define VI_ATTR_GPIB_REN_STATE 0x3FFF0181UL
#define VI_ATTR_GPIB_UNADDR_EN 0x3FFF0184UL
#define VI_ATTR_VXI_TRIG_SUPPORT 0x3FFF0194UL
#define VI_ATTR_TCPIP_ADDR 0xBFFF0195UL
#define VI_ATTR_TCPIP_HOSTNAME 0xBFFF0196UL
#define VI_ATTR_TCPIP_PORT 0x3FFF0197UL
#define VI_ATTR_TCPIP_DEVICE_NAME 0xBFFF0199UL
#define VI_ATTR_TCPIP_NODELAY 0x3FFF019AUL
#define VI_ATTR_TCPIP_KEEPALIVE 0x3FFF019BUL
#define VI_ATTR_TCPIP_HISLIP_OVERLAP_EN 0x3FFF0300UL
#define VI_ATTR_TCPIP_HISLIP_VERSION 0x3FFF0301UL
#define VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB 0x3FFF0302UL
#define VI_ATTR_TCPIP_IS_HISLIP 0x3FFF0303UL
#define VI_ATTR_USB_BULK_OUT_PIPE 0x3FFF01A2UL
#define VI_ATTR_USB_BULK_IN_PIPE 0x3FFF01A3UL
#define VI_ATTR_USB_INTR_IN_PIPE 0x3FFF01A4UL
#define VI_ATTR_USB_CLASS 0x3FFF01A5UL
#define VI_ATTR_USB_SUBCLASS 0x3FFF01A6UL
#define VI_ATTR_USB_ALT_SETTING 0x3FFF01A8UL
#define VI_ATTR_USB_END_IN 0x3FFF01A9UL
#define VI_ATTR_USB_NUM_INTFCS 0x3FFF01AAUL
#define VI_ATTR_USB_NUM_PIPES 0x3FFF01ABUL
#define VI_ATTR_USB_BULK_OUT_STATUS 0x3FFF01ACUL
#define VI_ATTR_USB_BULK_IN_STATUS 0x3FFF01ADUL
#define VI_ATTR_USB_INTR_IN_STATUS 0x3FFF01AEUL
#define VI_ATTR_USB_CTRL_PIPE 0x3FFF01B0UL
#define VI_ATTR_USB_RECV_INTR_SIZE 0x3FFF41B0UL
#define VI_ATTR_USB_RECV_INTR_DATA 0xBFFF41B1UL
#define VI_ATTR_SIGP_STATUS_ID 0x3FFF4011UL
#define VI_ATTR_RECV_TRIG_ID 0x3FFF4012UL
#define VI_ATTR_INTR_STATUS_ID 0x3FFF4023UL
#define VI_ATTR_RET_COUNT_32 0x3FFF4026UL
#define VI_ATTR_RET_COUNT_64 0x3FFF4028UL
#define VI_ATTR_RECV_INTR_LEVEL 0x3FFF4041UL
#define VI_ATTR_GPIB_RECV_CIC_STATE 0x3FFF4193UL
#define VI_ATTR_RECV_TCPIP_ADDR 0xBFFF4198UL
#define VI_ATTR_PXI_DEV_NUM 0x3FFF0201UL
#define VI_ATTR_PXI_FUNC_NUM 0x3FFF0202UL
#define VI_ATTR_PXI_BUS_NUM 0x3FFF0205UL
#define VI_ATTR_PXI_CHASSIS 0x3FFF0206UL
#define VI_ATTR_PXI_SLOTPATH 0xBFFF0207UL
#define VI_ATTR_PXI_SLOT_LBUS_LEFT 0x3FFF0208UL
#define VI_ATTR_PXI_SLOT_LBUS_RIGHT 0x3FFF0209UL
#define VI_ATTR_PXI_TRIG_BUS 0x3FFF020AUL
#define VI_ATTR_PXI_STAR_TRIG_BUS 0x3FFF020BUL
#define VI_ATTR_PXI_STAR_TRIG_LINE 0x3FFF020CUL
#define VI_ATTR_PXI_IS_EXPRESS 0x3FFF0240UL
#define VI_ATTR_PXI_SLOT_LWIDTH 0x3FFF0241UL
#define VI_ATTR_PXI_MAX_LWIDTH 0x3FFF0242UL
#define VI_ATTR_PXI_ACTUAL_LWIDTH 0x3FFF0243UL
#define VI_ATTR_PXI_DSTAR_BUS 0x3FFF0244UL
#define VI_ATTR_PXI_DSTAR_SET 0x3FFF0245UL
#define VI_ATTR_PXI_SRC_TRIG_BUS 0x3FFF020DUL
#define VI_ATTR_PXI_DEST_TRIG_BUS 0x3FFF020EUL
#define VI_ATTR_PXI_RECV_INTR_SEQ 0x3FFF4240UL
#define VI_ATTR_PXI_RECV_INTR_DATA 0x3FFF4241UL
#define VI_ATTR_PXI_MEM_TYPE_BAR0 0x3FFF0211UL
#define VI_ATTR_PXI_MEM_TYPE_BAR1 0x3FFF0212UL
#define VI_ATTR_PXI_MEM_TYPE_BAR2 0x3FFF0213UL
#define VI_ATTR_PXI_MEM_TYPE_BAR3 0x3FFF0214UL
#define VI_ATTR_PXI_MEM_TYPE_BAR4 0x3FFF0215UL
#define VI_ATTR_PXI_MEM_TYPE_BAR5 0x3FFF0216UL
#define VI_ATTR_PXI_MEM_BASE_BAR0_32 0x3FFF0221UL
#define VI_ATTR_PXI_MEM_BASE_BAR1_32 0x3FFF0222UL
#define VI_ATTR_PXI_MEM_BASE_BAR2_32 0x3FFF0223UL
#define VI_ATTR_PXI_MEM_BASE_BAR3_32 0x3FFF0224UL
#define VI_ATTR_PXI_MEM_BASE_BAR4_32 0x3FFF0225UL
#define VI_ATTR_PXI_MEM_BASE_BAR5_32 0x3FFF0226UL
#define VI_ATTR_PXI_MEM_SIZE_BAR0_32 0x3FFF0231UL
#define VI_ATTR_PXI_MEM_SIZE_BAR1_32 0x3FFF0232UL
#define VI_ATTR_PXI_MEM_SIZE_BAR2_32 0x3FFF0233UL
#define VI_ATTR_PXI_MEM_SIZE_BAR3_32 0x3FFF0234UL
#define VI_ATTR_PXI_MEM_SIZE_BAR4_32 0x3FFF0235UL
#define VI_ATTR_PXI_MEM_SIZE_BAR5_32 0x3FFF0236UL
#define VI_ATTR_PXI_MEM_BASE_BAR0_64 0x3FFF0228UL
#define VI_ATTR_PXI_MEM_BASE_BAR1_64 0x3FFF0229UL
#define VI_ATTR_PXI_MEM_BASE_BAR2_64 0x3FFF022AUL
#define VI_ATTR_PXI_MEM_BASE_BAR3_64 0x3FFF022BUL
#define VI_ATTR_PXI_MEM_BASE_BAR4_64 0x3FFF022CUL
#define VI_ATTR_PXI_MEM_BASE_BAR5_64 0x3FFF022DUL
#define VI_ATTR_PXI_MEM_SIZE_BAR0_64 0x3FFF0238UL
#define VI_ATTR_PXI_MEM_SIZE_BAR1_64 0x3FFF0239UL
#define VI_ATTR_PXI_MEM_SIZE_BAR2_64 0x3FFF023AUL
#define VI_ATTR_PXI_MEM_SIZE_BAR3_64 0x3FFF023BUL
#define VI_ATTR_PXI_MEM_SIZE_BAR4_64 0x3FFF023CUL
#define VI_ATTR_PXI_MEM_SIZE_BAR5_64 0x3FFF023DUL
#define VI_ATTR_VXI_TRIG_DIR 0x3FFF4044UL
#define VI_ATTR_VXI_TRIG_LINES_EN 0x3FFF4043UL

/* Attributes whose value is an address or a size: the pointer-wide one. */
#if UINTPTR_MAX > 0xFFFFFFFFu
#define VI_ATTR_WIN_BASE_ADDR VI_ATTR_WIN_BASE_ADDR_64
#define VI_ATTR_MEM_BASE VI_ATTR_MEM_BASE_64
#define VI_ATTR_MEM_SIZE VI_ATTR_MEM_SIZE_64
#define VI_ATTR_PXI_MEM_BASE_BAR0 VI_ATTR_PXI_MEM_BASE_BAR0_64
#define VI_ATTR_PXI_MEM_BASE_BAR1 VI_ATTR_PXI_MEM_BASE_BAR1_64
#define VI_ATTR_PXI_MEM_BASE_BAR2 VI_ATTR_PXI_MEM_BASE_BAR2_64
#define VI_ATTR_PXI_MEM_BASE_BAR3 VI_ATTR_PXI_MEM_BASE_BAR3_64
#define VI_ATTR_PXI_MEM_BASE_BAR4 VI_ATTR_PXI_MEM_BASE_BAR4_64
#define VI_ATTR_PXI_MEM_BASE_BAR5 VI_ATTR_PXI_MEM_BASE_BAR5_64
#define VI_ATTR_PXI_MEM_SIZE_BAR0 VI_ATTR_PXI_MEM_SIZE_BAR0_64
#define VI_ATTR_PXI_MEM_SIZE_BAR1 VI_ATTR_PXI_MEM_SIZE_BAR1_64
#define VI_ATTR_PXI_MEM_SIZE_BAR2 VI_ATTR_PXI_MEM_SIZE_BAR2_64
#define VI_ATTR_PXI_MEM_SIZE_BAR3 VI_ATTR_PXI_MEM_SIZE_BAR3_64
#define VI_ATTR_PXI_MEM_SIZE_BAR4 VI_ATTR_PXI_MEM_SIZE_BAR4_64
#define VI_ATTR_PXI_MEM_SIZE_BAR5 VI_ATTR_PXI_MEM_SIZE_BAR5_64
#else
#define VI_ATTR_WIN_BASE_ADDR VI_ATTR_WIN_BASE_ADDR_32
#define VI_ATTR_MEM_BASE VI_ATTR_MEM_BASE_32
#define VI_ATTR_MEM_SIZE VI_ATTR_MEM_SIZE_32
#define VI_ATTR_PXI_MEM_BASE_BAR0 VI_ATTR_PXI_MEM_BASE_BAR0_32
#define VI_ATTR_PXI_MEM_BASE_BAR1 VI_ATTR_PXI_MEM_BASE_BAR1_32
#define VI_ATTR_PXI_MEM_BASE_BAR2 VI_ATTR_PXI_MEM_BASE_BAR2_32
#define VI_ATTR_PXI_MEM_BASE_BAR3 VI_ATTR_PXI_MEM_BASE_BAR3_32
#define VI_ATTR_PXI_MEM_BASE_BAR4 VI_ATTR_PXI_MEM_BASE_BAR4_32
#define VI_ATTR_PXI_MEM_BASE_BAR5 VI_ATTR_PXI_MEM_BASE_BAR5_32
#define VI_ATTR_PXI_MEM_SIZE_BAR0 VI_ATTR_PXI_MEM_SIZE_BAR0_32
#define VI_ATTR_PXI_MEM_SIZE_BAR1 VI_ATTR_PXI_MEM_SIZE_BAR1_32
#define VI_ATTR_PXI_MEM_SIZE_BAR2 VI_ATTR_PXI_MEM_SIZE_BAR2_32
#define VI_ATTR_PXI_MEM_SIZE_BAR3 VI_ATTR_PXI_MEM_SIZE_BAR3_32
#define VI_ATTR_PXI_MEM_SIZE_BAR4 VI_ATTR_PXI_MEM_SIZE_BAR4_32
#define VI_ATTR_PXI_MEM_SIZE_BAR5 VI_ATTR_PXI_MEM_SIZE_BAR5_32
#endif

/* ---- Event types ------------------------------------------------------- */
#define VI_EVENT_IO_COMPLETION 0x3FFF2009UL
#define VI_EVENT_TRIG 0xBFFF200AUL
#define VI_EVENT_SERVICE_REQ 0x3FFF200BUL
#define VI_EVENT_CLEAR 0x3FFF200DUL
#define VI_EVENT_EXCEPTION 0xBFFF200EUL
#define VI_EVENT_USB_INTR 0x3FFF2037UL
#define VI_EVENT_GPIB_CIC 0x3FFF2012UL
#define VI_EVENT_GPIB_TALK 0x3FFF2013UL
#define VI_EVENT_GPIB_LISTEN 0x3FFF2014UL
#define VI_EVENT_VXI_VME_SYSFAIL 0x3FFF201DUL
#define VI_EVENT_VXI_VME_SYSRESET 0x3FFF201EUL
#define VI_EVENT_VXI_SIGP 0x3FFF2020UL
#define VI_EVENT_VXI_VME_INTR 0xBFFF2021UL
#define VI_EVENT_PXI_INTR 0x3FFF2022UL
#define VI_EVENT_TCPIP_CONNECT 0x3FFF2036UL
#define VI_ALL_ENABLED_EVENTS 0x3FFF7FFFUL

/* ---- Completion codes -------------------------------------------------- */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_EVENT_EN ((ViStatus)0x3FFF0002L)
#define VI_SUCCESS_EVENT_DIS ((ViStatus)0x3FFF0003L)
#define VI_SUCCESS_QUEUE_EMPTY ((ViStatus)0x3FFF0004L)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005L)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006L)
#define VI_WARN_QUEUE_OVERFLOW ((ViStatus)0x3FFF000CL)
#define VI_WARN_CONFIG_NLOADED ((ViStatus)0x3FFF0077L)
#define VI_SUCCESS_DEV_NPRESENT ((ViStatus)0x3FFF007DL)
#define VI_SUCCESS_QUEUE_NEMPTY ((ViStatus)0x3FFF0080L)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082L)
#define VI_WARN_NSUP_ATTR_STATE ((ViStatus)0x3FFF0084L)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085L)
#define VI_WARN_NSUP_BUF ((ViStatus)0x3FFF0088L)
#define VI_SUCCESS_NCHAIN ((ViStatus)0x3FFF0098L)
#define VI_SUCCESS_NESTED_SHARED ((ViStatus)0x3FFF0099L)
#define VI_SUCCESS_NESTED_EXCLUSIVE ((ViStatus)0x3FFF009AL)
#define VI_SUCCESS_SYNC ((ViStatus)0x3FFF009BL)

/* ---- Error codes ------------------------------------------------------- */
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000UL)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000EUL)
#define VI_ERROR_RSRC_LOCKED ((ViStatus)0xBFFF000FUL)
#define VI_ERROR_INV_EXPR ((ViStatus)0xBFFF0010UL)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011UL)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012UL)
#define VI_ERROR_INV_ACC_MODE ((ViStatus)0xBFFF0013UL)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015UL)
#define VI_ERROR_CLOSING_FAILED ((ViStatus)0xBFFF0016UL)
#define VI_ERROR_INV_JOB_ID ((ViStatus)0xBFFF001CUL)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001DUL)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001EUL)
#define VI_ERROR_ATTR_READONLY ((ViStatus)0xBFFF001FUL)
#define VI_ERROR_INV_LOCK_TYPE ((ViStatus)0xBFFF0020UL)
#define VI_ERROR_INV_ACCESS_KEY ((ViStatus)0xBFFF0021UL)
#define VI_ERROR_INV_EVENT ((ViStatus)0xBFFF0026UL)
#define VI_ERROR_INV_MECH ((ViStatus)0xBFFF0027UL)
#define VI_ERROR_HNDLR_NINSTALLED ((ViStatus)0xBFFF0028UL)
#define VI_ERROR_INV_HNDLR_REF ((ViStatus)0xBFFF0029UL)
#define VI_ERROR_INV_CONTEXT ((ViStatus)0xBFFF002AUL)
#define VI_ERROR_QUEUE_OVERFLOW ((ViStatus)0xBFFF002DUL)
#define VI_ERROR_NENABLED ((ViStatus)0xBFFF002FUL)
#define VI_ERROR_ABORT ((ViStatus)0xBFFF0030UL)
#define VI_ERROR_IN_PROGRESS ((ViStatus)0xBFFF0039UL)
#define VI_ERROR_QUEUE_ERROR ((ViStatus)0xBFFF003BUL)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003CUL)
#define VI_ERROR_INV_MASK ((ViStatus)0xBFFF003DUL)
#define VI_ERROR_IO ((ViStatus)0xBFFF003EUL)
#define VI_ERROR_INV_FMT ((ViStatus)0xBFFF003FUL)
#define VI_ERROR_NSUP_FMT ((ViStatus)0xBFFF0041UL)
#define VI_ERROR_NSUP_MODE ((ViStatus)0xBFFF0046UL)
#define VI_ERROR_NSUP_OPER ((ViStatus)0xBFFF0067UL)
#define VI_ERROR_USER_BUF ((ViStatus)0xBFFF0071UL)
#define VI_ERROR_RSRC_BUSY ((ViStatus)0xBFFF0072UL)
#define VI_ERROR_INV_PARAMETER ((ViStatus)0xBFFF0078UL)
#define VI_ERROR_INV_PROT ((ViStatus)0xBFFF0079UL)
#define VI_ERROR_INV_SIZE ((ViStatus)0xBFFF007BUL)
#define VI_ERROR_NIMPL_OPER ((ViStatus)0xBFFF0081UL)
#define VI_ERROR_INV_LENGTH ((ViStatus)0xBFFF0083UL)
#define VI_ERROR_INV_MODE ((ViStatus)0xBFFF0091UL)
#define VI_ERROR_SESN_NLOCKED ((ViStatus)0xBFFF009CUL)
#define VI_ERROR_NSUP_MECH ((ViStatus)0xBFFF00A4UL)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6UL)
#define VI_ERROR_NPERMISSION ((ViStatus)0xBFFF00A8UL)
/* The secure LAN connection's certificate checks (TLS). */
#define VI_ERROR_SERVER_CERT ((ViStatus)0xBFFF00B0UL)
#define VI_ERROR_SERVER_CERT_UNTRUSTED ((ViStatus)0xBFFF00B1UL)
#define VI_ERROR_SERVER_CERT_EXPIRED ((ViStatus)0xBFFF00B2UL)
#define VI_ERROR_SERVER_CERT_REVOKED ((ViStatus)0xBFFF00B3UL)
#define VI_ERROR_SERVER_CERT_INV_SUBJECT ((ViStatus)0xBFFF00B4UL)

#define VI_SUCCESS_TRIG_MAPPED ((ViStatus)0x3FFF007EL)
#define VI_ERROR_INV_DEGREE ((ViStatus)0xBFFF001BUL)
#define VI_ERROR_RAW_WR_PROT_VIOL ((ViStatus)0xBFFF0034UL)
#define VI_ERROR_RAW_RD_PROT_VIOL ((ViStatus)0xBFFF0035UL)
#define VI_ERROR_OUTP_PROT_VIOL ((ViStatus)0xBFFF0036UL)
#define VI_ERROR_INP_PROT_VIOL ((ViStatus)0xBFFF0037UL)
#define VI_ERROR_BERR ((ViStatus)0xBFFF0038UL)
#define VI_ERROR_INV_SETUP ((ViStatus)0xBFFF003AUL)
#define VI_ERROR_LINE_IN_USE ((ViStatus)0xBFFF0042UL)
#define VI_ERROR_SRQ_NOCCURRED ((ViStatus)0xBFFF004AUL)
#define VI_ERROR_INV_SPACE ((ViStatus)0xBFFF004EUL)
#define VI_ERROR_INV_OFFSET ((ViStatus)0xBFFF0051UL)
#define VI_ERROR_INV_WIDTH ((ViStatus)0xBFFF0052UL)
#define VI_ERROR_NSUP_OFFSET ((ViStatus)0xBFFF0054UL)
#define VI_ERROR_NSUP_VAR_WIDTH ((ViStatus)0xBFFF0055UL)
#define VI_ERROR_WINDOW_NMAPPED ((ViStatus)0xBFFF0057UL)
#define VI_ERROR_RESP_PENDING ((ViStatus)0xBFFF0059UL)
#define VI_ERROR_NLISTENERS ((ViStatus)0xBFFF005FUL)
#define VI_ERROR_NCIC ((ViStatus)0xBFFF0060UL)
#define VI_ERROR_NSYS_CNTLR ((ViStatus)0xBFFF0061UL)
#define VI_ERROR_INTR_PENDING ((ViStatus)0xBFFF0068UL)
#define VI_ERROR_ASRL_PARITY ((ViStatus)0xBFFF006AUL)
#define VI_ERROR_ASRL_FRAMING ((ViStatus)0xBFFF006BUL)
#define VI_ERROR_ASRL_OVERRUN ((ViStatus)0xBFFF006CUL)
#define VI_ERROR_TRIG_NMAPPED ((ViStatus)0xBFFF006EUL)
#define VI_ERROR_NSUP_ALIGN_OFFSET ((ViStatus)0xBFFF0070UL)
#define VI_ERROR_NSUP_WIDTH ((ViStatus)0xBFFF0076UL)
#define VI_ERROR_WINDOW_MAPPED ((ViStatus)0xBFFF0080UL)
#define VI_ERROR_MEM_NSHARED ((ViStatus)0xBFFF009DUL)
#define VI_ERROR_LIBRARY_NFOUND ((ViStatus)0xBFFF009EUL)
#define VI_ERROR_NSUP_INTR ((ViStatus)0xBFFF009FUL)
#define VI_ERROR_INV_LINE ((ViStatus)0xBFFF00A0UL)
#define VI_ERROR_FILE_ACCESS ((ViStatus)0xBFFF00A1UL)
#define VI_ERROR_FILE_IO ((ViStatus)0xBFFF00A2UL)
#define VI_ERROR_NSUP_LINE ((ViStatus)0xBFFF00A3UL)
#define VI_ERROR_INTF_NUM_NCONFIG ((ViStatus)0xBFFF00A5UL)
#define VI_ERROR_MACHINE_NAVAIL ((ViStatus)0xBFFF00A7UL)
#define VI_ERROR_INV_SESSION VI_ERROR_INV_OBJECT

/* ---- Operations -------------------------------------------------------- */
/* Resource manager and life cycle */
ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi);
#define viGetDefaultRM(vi) viOpenDefaultRM(vi)
ViStatus _VI_FUNC viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt,
                             ViChar _VI_PTR desc);
ViStatus _VI_FUNC viFindNext(ViFindList vi, ViChar _VI_PTR desc);
ViStatus _VI_FUNC viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType,
                              ViPUInt16 intfNum);
ViStatus _VI_FUNC viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType,
                                ViPUInt16 intfNum, ViChar _VI_PTR rsrcClass,
                                ViChar _VI_PTR expandedUnaliasedName, ViChar _VI_PTR aliasIfExists);
ViStatus _VI_FUNC viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                         ViUInt32 openTimeout, ViPSession vi);
ViStatus _VI_FUNC viClose(ViObject vi);

/* Attributes and status */
ViStatus _VI_FUNC viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
ViStatus _VI_FUNC viGetAttribute(ViObject vi, ViAttr attrName, void _VI_PTR attrValue);
ViStatus _VI_FUNC viStatusDesc(ViObject vi, ViStatus status, ViChar _VI_PTR desc);
ViStatus _VI_FUNC viTerminate(ViObject vi, ViUInt16 degree, ViJobId jobId);

/* Locks */
ViStatus _VI_FUNC viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                         ViConstKeyId requestedKey, ViChar _VI_PTR accessKey);
ViStatus _VI_FUNC viUnlock(ViSession vi);

/* Events */
ViStatus _VI_FUNC viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                                ViEventFilter context);
ViStatus _VI_FUNC viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus _VI_FUNC viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus _VI_FUNC viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout,
                                ViPEventType outEventType, ViPEvent outContext);
ViStatus _VI_FUNC viInstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler,
                                   ViAddr userHandle);
ViStatus _VI_FUNC viUninstallHandler(ViSession vi, ViEventType eventType, ViHndlr handler,
                                     ViAddr userHandle);

/* Basic I/O */
ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus _VI_FUNC viReadToFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                               ViPUInt32 retCnt);
ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus _VI_FUNC viWriteFromFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                                  ViPUInt32 retCnt);
ViStatus _VI_FUNC viAssertTrigger(ViSession vi, ViUInt16 protocol);
ViStatus _VI_FUNC viReadSTB(ViSession vi, ViPUInt16 status);
ViStatus _VI_FUNC viClear(ViSession vi);

/* Formatted and buffered I/O */
ViStatus _VI_FUNC viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size);
ViStatus _VI_FUNC viFlush(ViSession vi, ViUInt16 mask);
ViStatus _VI_FUNC viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viBufRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNCC viPrintf(ViSession vi, ViConstString writeFmt, ...);
ViStatus _VI_FUNC viVPrintf(ViSession vi, ViConstString writeFmt, ViVAList params);
ViStatus _VI_FUNCC viSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt, ...);
ViStatus _VI_FUNC viVSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt, ViVAList parms);
ViStatus _VI_FUNCC viScanf(ViSession vi, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVScanf(ViSession vi, ViConstString readFmt, ViVAList params);
ViStatus _VI_FUNCC viSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt, ViVAList arglist);
ViStatus _VI_FUNCC viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                            ViVAList params);

/* Register access: memory-mapped and register-based resources (VXI, PXI,
 * GPIB-VXI); VI_ERROR_NSUP_OPER here. viPeek and viPoke return nothing. */
ViStatus _VI_FUNC viIn8(ViSession vi, ViUInt16 space, ViBusAddress offset, ViPUInt8 val8);
ViStatus _VI_FUNC viOut8(ViSession vi, ViUInt16 space, ViBusAddress offset, ViUInt8 val8);
ViStatus _VI_FUNC viIn16(ViSession vi, ViUInt16 space, ViBusAddress offset, ViPUInt16 val16);
ViStatus _VI_FUNC viOut16(ViSession vi, ViUInt16 space, ViBusAddress offset, ViUInt16 val16);
ViStatus _VI_FUNC viIn32(ViSession vi, ViUInt16 space, ViBusAddress offset, ViPUInt32 val32);
ViStatus _VI_FUNC viOut32(ViSession vi, ViUInt16 space, ViBusAddress offset, ViUInt32 val32);
ViStatus _VI_FUNC viIn64(ViSession vi, ViUInt16 space, ViBusAddress offset, ViPUInt64 val64);
ViStatus _VI_FUNC viOut64(ViSession vi, ViUInt16 space, ViBusAddress offset, ViUInt64 val64);
ViStatus _VI_FUNC viIn8Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViPUInt8 val8);
ViStatus _VI_FUNC viOut8Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViUInt8 val8);
ViStatus _VI_FUNC viIn16Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViPUInt16 val16);
ViStatus _VI_FUNC viOut16Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViUInt16 val16);
ViStatus _VI_FUNC viIn32Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViPUInt32 val32);
ViStatus _VI_FUNC viOut32Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViUInt32 val32);
ViStatus _VI_FUNC viIn64Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViPUInt64 val64);
ViStatus _VI_FUNC viOut64Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViUInt64 val64);

ViStatus _VI_FUNC viMoveIn8(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                            ViAUInt8 buf8);
ViStatus _VI_FUNC viMoveOut8(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                             ViAUInt8 buf8);
ViStatus _VI_FUNC viMoveIn16(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                             ViAUInt16 buf16);
ViStatus _VI_FUNC viMoveOut16(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                              ViAUInt16 buf16);
ViStatus _VI_FUNC viMoveIn32(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                             ViAUInt32 buf32);
ViStatus _VI_FUNC viMoveOut32(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                              ViAUInt32 buf32);
ViStatus _VI_FUNC viMoveIn64(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                             ViAUInt64 buf64);
ViStatus _VI_FUNC viMoveOut64(ViSession vi, ViUInt16 space, ViBusAddress offset, ViBusSize length,
                              ViAUInt64 buf64);
ViStatus _VI_FUNC viMoveIn8Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset, ViBusSize length,
                              ViAUInt8 buf8);
ViStatus _VI_FUNC viMoveOut8Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                               ViBusSize length, ViAUInt8 buf8);
ViStatus _VI_FUNC viMoveIn16Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                               ViBusSize length, ViAUInt16 buf16);
ViStatus _VI_FUNC viMoveOut16Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                                ViBusSize length, ViAUInt16 buf16);
ViStatus _VI_FUNC viMoveIn32Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                               ViBusSize length, ViAUInt32 buf32);
ViStatus _VI_FUNC viMoveOut32Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                                ViBusSize length, ViAUInt32 buf32);
ViStatus _VI_FUNC viMoveIn64Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                               ViBusSize length, ViAUInt64 buf64);
ViStatus _VI_FUNC viMoveOut64Ex(ViSession vi, ViUInt16 space, ViBusAddress64 offset,
                                ViBusSize length, ViAUInt64 buf64);

ViStatus _VI_FUNC viMove(ViSession vi, ViUInt16 srcSpace, ViBusAddress srcOffset, ViUInt16 srcWidth,
                         ViUInt16 destSpace, ViBusAddress destOffset, ViUInt16 destWidth,
                         ViBusSize srcLength);
ViStatus _VI_FUNC viMoveAsync(ViSession vi, ViUInt16 srcSpace, ViBusAddress srcOffset,
                              ViUInt16 srcWidth, ViUInt16 destSpace, ViBusAddress destOffset,
                              ViUInt16 destWidth, ViBusSize srcLength, ViPJobId jobId);
ViStatus _VI_FUNC viMoveEx(ViSession vi, ViUInt16 srcSpace, ViBusAddress64 srcOffset,
                           ViUInt16 srcWidth, ViUInt16 destSpace, ViBusAddress64 destOffset,
                           ViUInt16 destWidth, ViBusSize srcLength);
ViStatus _VI_FUNC viMoveAsyncEx(ViSession vi, ViUInt16 srcSpace, ViBusAddress64 srcOffset,
                                ViUInt16 srcWidth, ViUInt16 destSpace, ViBusAddress64 destOffset,
                                ViUInt16 destWidth, ViBusSize srcLength, ViPJobId jobId);

ViStatus _VI_FUNC viMapAddress(ViSession vi, ViUInt16 mapSpace, ViBusAddress mapOffset,
                               ViBusSize mapSize, ViBoolean access, ViAddr suggested,
                               ViPAddr address);
ViStatus _VI_FUNC viMapAddressEx(ViSession vi, ViUInt16 mapSpace, ViBusAddress64 mapOffset,
                                 ViBusSize mapSize, ViBoolean access, ViAddr suggested,
                                 ViPAddr address);
ViStatus _VI_FUNC viUnmapAddress(ViSession vi);

void _VI_FUNC viPeek8(ViSession vi, ViAddr address, ViPUInt8 val8);
void _VI_FUNC viPoke8(ViSession vi, ViAddr address, ViUInt8 val8);
void _VI_FUNC viPeek16(ViSession vi, ViAddr address, ViPUInt16 val16);
void _VI_FUNC viPoke16(ViSession vi, ViAddr address, ViUInt16 val16);
void _VI_FUNC viPeek32(ViSession vi, ViAddr address, ViPUInt32 val32);
void _VI_FUNC viPoke32(ViSession vi, ViAddr address, ViUInt32 val32);
void _VI_FUNC viPeek64(ViSession vi, ViAddr address, ViPUInt64 val64);
void _VI_FUNC viPoke64(ViSession vi, ViAddr address, ViUInt64 val64);

/* Shared memory */
ViStatus _VI_FUNC viMemAlloc(ViSession vi, ViBusSize size, ViPBusAddress offset);
ViStatus _VI_FUNC viMemAllocEx(ViSession vi, ViBusSize size, ViPBusAddress64 offset);
ViStatus _VI_FUNC viMemFree(ViSession vi, ViBusAddress offset);
ViStatus _VI_FUNC viMemFreeEx(ViSession vi, ViBusAddress64 offset);

/* Interface-specific operations. viGpibControlREN and the USB control
 * transfers serve USB488 and USB INSTR; the rest VI_ERROR_NSUP_OPER. */
ViStatus _VI_FUNC viGpibControlREN(ViSession vi, ViUInt16 mode);
ViStatus _VI_FUNC viGpibControlATN(ViSession vi, ViUInt16 mode);
ViStatus _VI_FUNC viGpibSendIFC(ViSession vi);
ViStatus _VI_FUNC viGpibCommand(ViSession vi, ViConstBuf cmd, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viGpibPassControl(ViSession vi, ViUInt16 primAddr, ViUInt16 secAddr);

ViStatus _VI_FUNC viVxiCommandQuery(ViSession vi, ViUInt16 mode, ViUInt32 cmd, ViPUInt32 response);
ViStatus _VI_FUNC viAssertUtilSignal(ViSession vi, ViUInt16 line);
ViStatus _VI_FUNC viAssertIntrSignal(ViSession vi, ViInt16 mode, ViUInt32 statusID);
ViStatus _VI_FUNC viMapTrigger(ViSession vi, ViInt16 trigSrc, ViInt16 trigDest, ViUInt16 mode);
ViStatus _VI_FUNC viUnmapTrigger(ViSession vi, ViInt16 trigSrc, ViInt16 trigDest);
ViStatus _VI_FUNC viUsbControlOut(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                  ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength,
                                  ViConstBuf buf);
ViStatus _VI_FUNC viUsbControlIn(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                 ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength, ViPBuf buf,
                                 ViPUInt16 retCnt);
ViStatus _VI_FUNC viPxiReserveTriggers(ViSession vi, ViInt16 cnt, ViAInt16 trigBuses,
                                       ViAInt16 trigLines, ViPInt16 failureIndex);

#ifdef __cplusplus
}
#endif

#endif /* SGVISA_VISA_H */
