// The flat instrument functions, as a C or Visual Basic caller declares them. Every argument is 32
// bits (pointers included on the 32-bit build); every result is a Win32 error code (0 = done).
#ifndef TAVOBRIDGE_TAVO_H
#define TAVOBRIDGE_TAVO_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAVO_FUNCTIONS(X)                                                                          \
    X(TAVO_initComm, (DWORD ignored, DWORD timeoutMs, DWORD comPort, DWORD baud, DWORD flow))      \
    X(TAVO_initUsbComm, (DWORD waitMs))                                                            \
    X(TAVO_initSerialComm, (DWORD timeoutMs, DWORD comPort, DWORD baud, DWORD flow))               \
    X(TAVO_initTapiComm, (DWORD timeoutMs, DWORD lineDeviceId, const BYTE *devConfig,              \
                          DWORD devConfigSize, const char *phoneNumber, DWORD redial,              \
                          DWORD maxRedials))                                                       \
    X(TAVO_initModemComm, (DWORD timeoutMs, const char *modemName, const char *phoneNumber,        \
                           DWORD redial, DWORD maxRedials))                                        \
    X(TAVO_closeComm, (void))                                                                      \
    X(TAVO_getTavoIdent, (DWORD *version, DWORD *number, char *name, DWORD ignored))               \
    X(TAVO_dumpFlash, (DWORD address, DWORD length, BYTE *buffer, DWORD timeoutMs))                \
    X(TAVO_writeFlash, (DWORD address, DWORD length, const BYTE *data, DWORD timeoutMs))           \
    X(TAVO_litPeriode, (DWORD p1, DWORD p2, DWORD byteCount, DWORD blockSize, DWORD *values,       \
                        DWORD *received, DWORD timeoutMs))                                         \
    X(TAVO_litPeriodeShort, (DWORD p1, DWORD p2, DWORD byteCount, DWORD blockSize, WORD *values,   \
                             DWORD *received, DWORD timeoutMs))                                    \
    X(TAVO_demandeInfoPeriode, (DWORD timeoutMs))                                                  \
    X(TAVO_effacePeriode, (DWORD p1, DWORD p2, DWORD timeoutMs))                                   \
    X(TAVO_setConfigNormal, (const WORD *values, DWORD value32, DWORD value16, DWORD timeoutMs))   \
    X(TAVO_setConfigProg, (const WORD *values, DWORD value32, DWORD value16, const BYTE *table1,   \
                           const BYTE *table2, DWORD timeoutMs))                                   \
    X(TAVO_getConfig, (WORD *values, DWORD *value32, DWORD *value16, BYTE *table1, BYTE *table2,   \
                       DWORD timeoutMs))                                                           \
    X(TAVO_getEtat, (DWORD *s0, DWORD *s1, DWORD *s2, DWORD *s3, DWORD *s4, DWORD timeoutMs))      \
    X(TAVO_startMesure, (DWORD parameter, DWORD timeoutMs))                                        \
    X(TAVO_startCalibrage, (DWORD parameter, DWORD timeoutMs))                                     \
    X(TAVO_stopMesure, (DWORD timeoutMs))                                                          \
    X(TAVO_getMesure, (WORD *values, DWORD *count, DWORD ignored))                                 \
    X(TAVO_getDataOnBulk, (DWORD *values, DWORD byteCount, DWORD *received, DWORD timeoutMs))      \
    X(TAVO_getDataOnBulkShort, (BYTE *buffer, DWORD byteCount, DWORD *received, DWORD timeoutMs))  \
    X(TAVO_resetDsp, (DWORD parameter, DWORD timeoutMs))                                           \
    X(TAVO_memoryPageSelect, (DWORD m1, DWORD m2, DWORD value, DWORD timeoutMs))                   \
    X(TAVO_memoryRead, (DWORD m1, DWORD m2, DWORD value, DWORD count, DWORD *values,               \
                        DWORD timeoutMs))                                                          \
    X(TAVO_memoryWrite, (DWORD m1, DWORD m2, DWORD value, DWORD count, const DWORD *values,        \
                         DWORD timeoutMs))                                                         \
    X(TAVO_scan, (void))

// Pointer types for callers that load the library at run time: TAVO_initComm_fn and so on.
#define TAVO_POINTER_TYPE(name, args) typedef DWORD(WINAPI *name##_fn) args;
TAVO_FUNCTIONS(TAVO_POINTER_TYPE)
#undef TAVO_POINTER_TYPE

#ifdef __cplusplus
}
#endif

#endif
