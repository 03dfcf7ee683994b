// The TAVO_ exports: stdcall, 32-bit arguments, one process-wide link behind them.
#include <windows.h>

#include <type_traits>

#include <tavobridge/tavo.h>

#include "flat_api.h"
#include "flat_env.h"

#if defined(_WIN32)
#define TAVO_EXPORT extern "C"  // the names and nothing else come from tavobridge.def
#else
#define TAVO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

tavo::flat_api &the_link() {
    // Made on first use, released at unload without calling into other libraries.
    static tavo::flat_api instance(tavo::morvex_environment());
    return instance;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

TAVO_EXPORT DWORD WINAPI TAVO_initComm(DWORD, DWORD timeoutMs, DWORD comPort, DWORD baud, DWORD flow) {
    return the_link().initComm(timeoutMs, comPort, baud, flow);
}
TAVO_EXPORT DWORD WINAPI TAVO_initUsbComm(DWORD waitMs) { return the_link().initUsbComm(waitMs); }
TAVO_EXPORT DWORD WINAPI TAVO_initSerialComm(DWORD timeoutMs, DWORD comPort, DWORD baud, DWORD flow) {
    return the_link().initSerialComm(timeoutMs, comPort, baud, flow);
}
TAVO_EXPORT DWORD WINAPI TAVO_initTapiComm(DWORD timeoutMs, DWORD lineDeviceId, const BYTE *devConfig,
                                           DWORD devConfigSize, const char *phoneNumber, DWORD redial,
                                           DWORD maxRedials) {
    return the_link().initTapiComm(timeoutMs, lineDeviceId, devConfig, devConfigSize, phoneNumber, redial, maxRedials);
}
TAVO_EXPORT DWORD WINAPI TAVO_initModemComm(DWORD timeoutMs, const char *modemName, const char *phoneNumber,
                                            DWORD redial, DWORD maxRedials) {
    return the_link().initModemComm(timeoutMs, modemName, phoneNumber, redial, maxRedials);
}
TAVO_EXPORT DWORD WINAPI TAVO_closeComm(void) { return the_link().closeComm(); }
TAVO_EXPORT DWORD WINAPI TAVO_getTavoIdent(DWORD *version, DWORD *number, char *name, DWORD) {
    return the_link().getTavoIdent(version, number, name);
}
TAVO_EXPORT DWORD WINAPI TAVO_dumpFlash(DWORD address, DWORD length, BYTE *buffer, DWORD timeoutMs) {
    return the_link().dumpFlash(address, length, buffer, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_writeFlash(DWORD address, DWORD length, const BYTE *data, DWORD timeoutMs) {
    return the_link().writeFlash(address, length, data, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_litPeriode(DWORD p1, DWORD p2, DWORD byteCount, DWORD blockSize, DWORD *values,
                                         DWORD *received, DWORD timeoutMs) {
    return the_link().litPeriode(p1, p2, byteCount, blockSize, values, received, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_litPeriodeShort(DWORD p1, DWORD p2, DWORD byteCount, DWORD blockSize, WORD *values,
                                              DWORD *received, DWORD timeoutMs) {
    return the_link().litPeriodeShort(p1, p2, byteCount, blockSize, values, received, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_demandeInfoPeriode(DWORD timeoutMs) { return the_link().demandeInfoPeriode(timeoutMs); }
TAVO_EXPORT DWORD WINAPI TAVO_effacePeriode(DWORD p1, DWORD p2, DWORD timeoutMs) {
    return the_link().effacePeriode(p1, p2, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_setConfigNormal(const WORD *values, DWORD value32, DWORD value16, DWORD timeoutMs) {
    return the_link().setConfigNormal(values, value32, value16, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_setConfigProg(const WORD *values, DWORD value32, DWORD value16, const BYTE *table1,
                                            const BYTE *table2, DWORD timeoutMs) {
    return the_link().setConfigProg(values, value32, value16, table1, table2, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_getConfig(WORD *values, DWORD *value32, DWORD *value16, BYTE *table1, BYTE *table2,
                                        DWORD timeoutMs) {
    return the_link().getConfig(values, value32, value16, table1, table2, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_getEtat(DWORD *s0, DWORD *s1, DWORD *s2, DWORD *s3, DWORD *s4, DWORD timeoutMs) {
    return the_link().getEtat(s0, s1, s2, s3, s4, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_startMesure(DWORD parameter, DWORD timeoutMs) {
    return the_link().startMesure(parameter, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_startCalibrage(DWORD parameter, DWORD timeoutMs) {
    return the_link().startCalibrage(parameter, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_stopMesure(DWORD timeoutMs) { return the_link().stopMesure(timeoutMs); }
TAVO_EXPORT DWORD WINAPI TAVO_getMesure(WORD *values, DWORD *count, DWORD) {
    return the_link().getMesure(values, count);
}
TAVO_EXPORT DWORD WINAPI TAVO_getDataOnBulk(DWORD *values, DWORD byteCount, DWORD *received, DWORD timeoutMs) {
    return the_link().getDataOnBulk(values, byteCount, received, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_getDataOnBulkShort(BYTE *buffer, DWORD byteCount, DWORD *received, DWORD timeoutMs) {
    return the_link().getDataOnBulkShort(buffer, byteCount, received, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_resetDsp(DWORD parameter, DWORD timeoutMs) {
    return the_link().resetDsp(parameter, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_memoryPageSelect(DWORD m1, DWORD m2, DWORD value, DWORD timeoutMs) {
    return the_link().memoryPageSelect(m1, m2, value, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_memoryRead(DWORD m1, DWORD m2, DWORD value, DWORD count, DWORD *values, DWORD timeoutMs) {
    return the_link().memoryRead(m1, m2, value, count, values, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_memoryWrite(DWORD m1, DWORD m2, DWORD value, DWORD count, const DWORD *values,
                                          DWORD timeoutMs) {
    return the_link().memoryWrite(m1, m2, value, count, values, timeoutMs);
}
TAVO_EXPORT DWORD WINAPI TAVO_scan(void) { return the_link().scan(); }

// Each export keeps the signature callers declare.
#define TAVO_SIGNATURE_CHECK(name, args) static_assert(std::is_same_v<decltype(&name), name##_fn>, #name);
TAVO_FUNCTIONS(TAVO_SIGNATURE_CHECK)
