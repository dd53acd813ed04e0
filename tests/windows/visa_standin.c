/*
 * A stand-in for the VISA DLL, built as visa64.dll and as visa32.dll next to
 * the 64-bit and the 32-bit sgdemo.exe under wine (the 32-bit one with the
 * calling conventions of visa.h and its exports under undecorated names, as
 * the standard's visa32.dll has them): one simulated generator, whose
 * resource name and identification come from the environment, answering the
 * two queries; every call is appended to a log file with its arguments, one
 * line per call, written through before the call returns.
 *
 * Environment:
 *   SGTEST_VISA_LOG       the log file (a Windows path)
 *   SGTEST_VISA_RESOURCE  the one resource name that opens
 *   SGTEST_VISA_IDN       the reply to "*IDN?"
 *
 * Log lines: the calling thread's id (four or more hexadecimal digits, as
 * wine's traces show it), the operation and its arguments, separated by
 * tabs, strings C-escaped in double quotes:
 *   viOpenDefaultRM
 *   viOpen  <session>  "<resource name>"  <access mode>  <open timeout>
 *   viClose <session>
 *   viPrintf <session> "<format>"
 *   viQueryf <session> "<write format>" "<read format>"
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "visa.h"

#define EXPORT __declspec(dllexport)

enum { kResourceManager = 1, kInstrument = 2 };

static void put_escaped(FILE* log, const char* text) {
    fputc('"', log);
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        if (*p == '\n')
            fputs("\\n", log);
        else if (*p == '"' || *p == '\\')
            fprintf(log, "\\%c", *p);
        else if (*p < 0x20 || *p >= 0x7f)
            fprintf(log, "\\x%02x", *p);
        else
            fputc(*p, log);
    }
    fputc('"', log);
}

/* Appends one line: the operation, then the arguments as described by
 * `kinds` ('u' an unsigned number, 's' a string), from the va_list. */
static void log_call(const char* operation, const char* kinds, ...) {
    const char* path = getenv("SGTEST_VISA_LOG");
    FILE* log = path ? fopen(path, "ab") : NULL;
    if (!log)
        return;
    fprintf(log, "%04lx\t%s", (unsigned long)GetCurrentThreadId(), operation);
    va_list args;
    va_start(args, kinds);
    for (const char* k = kinds; *k; ++k) {
        fputc('\t', log);
        if (*k == 'u')
            fprintf(log, "%lu", (unsigned long)va_arg(args, ViUInt32));
        else
            put_escaped(log, va_arg(args, const char*));
    }
    va_end(args);
    fputc('\n', log);
    fclose(log);
}

/* The generator's reply to a query, ending with its linefeed; NULL when it
 * does not answer. */
static const char* reply_to(const char* query) {
    static char idn[256];
    if (strcmp(query, "*IDN?\n") == 0) {
        const char* text = getenv("SGTEST_VISA_IDN");
        snprintf(idn, sizeof idn, "%s\n", text ? text : "");
        return idn;
    }
    if (strcmp(query, "SYSTem:ERRor?\n") == 0)
        return "0,\"No error\"\n";
    return NULL;
}

EXPORT ViStatus _VI_FUNC viOpenDefaultRM(ViPSession vi) {
    log_call("viOpenDefaultRM", "");
    *vi = kResourceManager;
    return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viOpen(ViSession sesn, ViConstRsrc rsrcName, ViAccessMode accessMode,
                                ViUInt32 openTimeout, ViPSession vi) {
    log_call("viOpen", "usuu", sesn, rsrcName, accessMode, openTimeout);
    const char* present = getenv("SGTEST_VISA_RESOURCE");
    if (sesn != kResourceManager || !present || strcmp(rsrcName, present) != 0)
        return VI_ERROR_RSRC_NFOUND;
    *vi = kInstrument;
    return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNC viClose(ViObject vi) {
    log_call("viClose", "u", vi);
    return VI_SUCCESS;
}

EXPORT ViStatus _VI_FUNCC viPrintf(ViSession vi, ViConstString writeFmt, ...) {
    log_call("viPrintf", "us", vi, writeFmt);
    return vi == kInstrument ? VI_SUCCESS : VI_ERROR_INV_OBJECT;
}

/* Reads the reply with "%T" or "%<width>T" (up to and including the
 * linefeed, at most width characters) into the one char* argument. */
EXPORT ViStatus _VI_FUNCC viQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                                   ...) {
    log_call("viQueryf", "uss", vi, writeFmt, readFmt);
    if (vi != kInstrument)
        return VI_ERROR_INV_OBJECT;
    char* end = NULL;
    unsigned long width = strtoul(readFmt + 1, &end, 10);
    if (readFmt[0] != '%' || strcmp(end, "T") != 0)
        return VI_ERROR_NSUP_FMT;
    const char* reply = reply_to(writeFmt);
    if (!reply)
        return VI_ERROR_TMO;
    va_list args;
    va_start(args, readFmt);
    char* target = va_arg(args, char*);
    va_end(args);
    size_t n = strlen(reply);
    if (end != readFmt + 1 && n > width)
        n = width;
    memcpy(target, reply, n);
    target[n] = '\0';
    return VI_SUCCESS;
}
