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
 * The library implements the operations declared here for USB INSTR
 * resources; the rest of the standard's operations are not provided.
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

/* ---- VISA-specific types ----------------------------------------------- */
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject* ViPObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViObject ViFindList;
typedef ViFindList* ViPFindList;
typedef ViObject ViEvent;
typedef ViEvent* ViPEvent;
typedef ViUInt32 ViEventType;
typedef ViEventType* ViPEventType;
typedef ViUInt32 ViEventFilter;
typedef ViUInt32 ViAccessMode;
typedef ViAccessMode* ViPAccessMode;
typedef ViUInt32 ViAttr;
/* An attribute value is as wide as a pointer (32 bits for visa32.dll). */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif
typedef ViAttrState* ViPAttrState;
typedef ViUInt32 ViJobId;
typedef ViJobId* ViPJobId;
typedef ViStatus(_VI_FUNCH _VI_PTR ViHndlr)(ViSession vi, ViEventType eventType, ViEvent event,
                                            ViAddr userHandle);

/* ---- Constants --------------------------------------------------------- */
#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

#define VI_SPEC_VERSION 0x00700100UL
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

/* ---- Event types ------------------------------------------------------- */
#define VI_EVENT_IO_COMPLETION 0x3FFF2009UL
#define VI_EVENT_TRIG 0xBFFF200AUL
#define VI_EVENT_SERVICE_REQ 0x3FFF200BUL
#define VI_EVENT_CLEAR 0x3FFF200DUL
#define VI_EVENT_EXCEPTION 0xBFFF200EUL
#define VI_EVENT_USB_INTR 0x3FFF2037UL
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

/* ---- Operations -------------------------------------------------------- */
/* Resource manager and life cycle */
ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi);
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
ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viClear(ViSession vi);
ViStatus _VI_FUNC viReadSTB(ViSession vi, ViPUInt16 status);
ViStatus _VI_FUNC viFlush(ViSession vi, ViUInt16 mask);
ViStatus _VI_FUNC viSetBuf(ViSession vi, ViUInt16 mask, ViUInt32 size);

/* Asynchronous I/O */
ViStatus _VI_FUNC viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus _VI_FUNC viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus _VI_FUNC viTerminate(ViObject vi, ViUInt16 degree, ViJobId jobId);

/* USB488 */
ViStatus _VI_FUNC viAssertTrigger(ViSession vi, ViUInt16 protocol);
ViStatus _VI_FUNC viGpibControlREN(ViSession vi, ViUInt16 mode);

/* Formatted I/O */
ViStatus _VI_FUNCC viPrintf(ViSession vi, ViConstString writeFmt, ...);
ViStatus _VI_FUNC viVPrintf(ViSession vi, ViConstString writeFmt, ViVAList params);
ViStatus _VI_FUNCC viScanf(ViSession vi, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVScanf(ViSession vi, ViConstString readFmt, ViVAList params);
ViStatus _VI_FUNCC viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                            ViVAList params);

/* Buffered I/O, files, USB control transfers, formatted I/O on strings */
#ifndef VI_ERROR_FILE_ACCESS
#define VI_ERROR_FILE_ACCESS ((ViStatus)0xBFFF00A1UL)
#endif
#ifndef VI_ERROR_FILE_IO
#define VI_ERROR_FILE_IO ((ViStatus)0xBFFF00A2UL)
#endif
ViStatus _VI_FUNC viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viBufRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viReadToFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                               ViPUInt32 retCnt);
ViStatus _VI_FUNC viWriteFromFile(ViSession vi, ViConstString filename, ViUInt32 cnt,
                                  ViPUInt32 retCnt);
ViStatus _VI_FUNC viUsbControlOut(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                  ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength,
                                  ViConstBuf buf);
ViStatus _VI_FUNC viUsbControlIn(ViSession vi, ViInt16 bmRequestType, ViInt16 bRequest,
                                 ViUInt16 wValue, ViUInt16 wIndex, ViUInt16 wLength, ViPBuf buf,
                                 ViPUInt16 retCnt);
ViStatus _VI_FUNCC viSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt, ...);
ViStatus _VI_FUNC viVSPrintf(ViSession vi, ViPBuf buf, ViConstString writeFmt, ViVAList parms);
ViStatus _VI_FUNCC viSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVSScanf(ViSession vi, ViConstBuf buf, ViConstString readFmt,
                            ViVAList arglist);

#ifdef __cplusplus
}
#endif

#endif /* SGVISA_VISA_H */
