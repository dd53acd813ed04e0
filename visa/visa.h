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
 */
#ifndef SGVISA_VISA_H
#define SGVISA_VISA_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Calling conventions ---------------------------------------------- */
/* The standard's: on 32-bit Windows the operations with fixed arguments (and
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

typedef ViUInt32* ViPUInt32;
typedef ViByte* ViBuf;
typedef ViByte* ViPBuf;
typedef const ViByte* ViConstBuf;
typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViChar* ViRsrc;
typedef const ViChar* ViConstRsrc;
typedef va_list ViVAList;

/* ---- VISA-specific types ----------------------------------------------- */
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViUInt32 ViAccessMode;
typedef ViUInt32 ViAttr;
/* An attribute value is as wide as a pointer (32 bits for visa32.dll). */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif
typedef void* ViAddr;

/* ---- Constants --------------------------------------------------------- */
#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

#define VI_NO_LOCK 0
#define VI_EXCLUSIVE_LOCK 1

#define VI_TMO_IMMEDIATE 0x00000000UL
#define VI_TMO_INFINITE 0xFFFFFFFFUL

/* ---- Attributes -------------------------------------------------------- */
#define VI_ATTR_TMO_VALUE 0x3FFF001AUL
#define VI_ATTR_TERMCHAR 0x3FFF0018UL
#define VI_ATTR_TERMCHAR_EN 0x3FFF0038UL

/* ---- Completion codes -------------------------------------------------- */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005L)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006L)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082L)

/* ---- Error codes ------------------------------------------------------- */
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000UL)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000EUL)
#define VI_ERROR_RSRC_LOCKED ((ViStatus)0xBFFF000FUL)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011UL)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012UL)
#define VI_ERROR_INV_ACC_MODE ((ViStatus)0xBFFF0013UL)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015UL)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001DUL)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001EUL)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003CUL)
#define VI_ERROR_IO ((ViStatus)0xBFFF003EUL)
#define VI_ERROR_INV_FMT ((ViStatus)0xBFFF003FUL)
#define VI_ERROR_NSUP_FMT ((ViStatus)0xBFFF0041UL)
#define VI_ERROR_USER_BUF ((ViStatus)0xBFFF0071UL)
#define VI_ERROR_RSRC_BUSY ((ViStatus)0xBFFF0072UL)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6UL)
#define VI_ERROR_NPERMISSION ((ViStatus)0xBFFF00A8UL)

/* ---- Operations -------------------------------------------------------- */
ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi);
ViStatus _VI_FUNC viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                         ViUInt32 openTimeout, ViPSession vi);
ViStatus _VI_FUNC viClose(ViObject vi);

ViStatus _VI_FUNC viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
ViStatus _VI_FUNC viGetAttribute(ViObject vi, ViAttr attrName, void* attrValue);

ViStatus _VI_FUNC viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus _VI_FUNC viClear(ViSession vi);

ViStatus _VI_FUNCC viPrintf(ViSession vi, ViConstString writeFmt, ...);
ViStatus _VI_FUNC viVPrintf(ViSession vi, ViConstString writeFmt, ViVAList params);
ViStatus _VI_FUNCC viScanf(ViSession vi, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVScanf(ViSession vi, ViConstString readFmt, ViVAList params);
ViStatus _VI_FUNCC viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...);
ViStatus _VI_FUNC viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                            ViVAList params);

#ifdef __cplusplus
}
#endif

#endif /* SGVISA_VISA_H */
