// The link state of the flat functions and the functions themselves. One object per process sits
// behind the TAVO_ exports; tests make their own over a test environment.
#ifndef TAVOBRIDGE_FLAT_API_H
#define TAVOBRIDGE_FLAT_API_H

#include <windows.h>

#include <stdint.h>

#include <memory>
#include <vector>

#include "flat_backend.h"

namespace tavo {

// Link modes.
enum : DWORD { mode_none = 0, mode_usb = 1, mode_serial = 2, mode_modem = 3 };

class flat_api {
public:
    explicit flat_api(environment &env);
    ~flat_api();
    flat_api(const flat_api &) = delete;
    flat_api &operator=(const flat_api &) = delete;

    // Link set-up and close.
    DWORD initComm(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow);
    DWORD initUsbComm(DWORD wait);
    DWORD initSerialComm(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow);
    DWORD initTapiComm(DWORD timeout, DWORD device, const BYTE *config, DWORD config_size, const char *phone,
                       DWORD redial, DWORD max_redials);
    DWORD initModemComm(DWORD timeout, const char *modem, const char *phone, DWORD redial, DWORD max_redials);
    DWORD closeComm();

    // Instrument functions.
    DWORD getTavoIdent(DWORD *version, DWORD *number, char *name);
    DWORD dumpFlash(DWORD address, DWORD length, BYTE *buffer, DWORD timeout);
    DWORD writeFlash(DWORD address, DWORD length, const BYTE *data, DWORD timeout);
    DWORD litPeriode(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, DWORD *values, DWORD *received,
                     DWORD timeout);
    DWORD litPeriodeShort(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, WORD *values, DWORD *received,
                          DWORD timeout);
    DWORD demandeInfoPeriode(DWORD timeout);
    DWORD effacePeriode(DWORD p1, DWORD p2, DWORD timeout);
    DWORD setConfigNormal(const WORD *values, DWORD value32, DWORD value16, DWORD timeout);
    DWORD setConfigProg(const WORD *values, DWORD value32, DWORD value16, const BYTE *table1, const BYTE *table2,
                        DWORD timeout);
    DWORD getConfig(WORD *values, DWORD *value32, DWORD *value16, BYTE *table1, BYTE *table2, DWORD timeout);
    DWORD getEtat(DWORD *s0, DWORD *s1, DWORD *s2, DWORD *s3, DWORD *s4, DWORD timeout);
    DWORD startMesure(DWORD parameter, DWORD timeout);
    DWORD startCalibrage(DWORD parameter, DWORD timeout);
    DWORD stopMesure(DWORD timeout);
    DWORD getMesure(WORD *values, DWORD *count);
    DWORD getDataOnBulk(DWORD *values, DWORD byte_count, DWORD *received, DWORD timeout);
    DWORD getDataOnBulkShort(BYTE *buffer, DWORD byte_count, DWORD *received, DWORD timeout);
    DWORD resetDsp(DWORD parameter, DWORD timeout);
    DWORD memoryPageSelect(DWORD m1, DWORD m2, DWORD value, DWORD timeout);
    DWORD memoryRead(DWORD m1, DWORD m2, DWORD value, DWORD count, DWORD *values, DWORD timeout);
    DWORD memoryWrite(DWORD m1, DWORD m2, DWORD value, DWORD count, const DWORD *values, DWORD timeout);
    DWORD scan();

    // For tests and the exports' unload.
    DWORD mode() const { return mode_; }
    // Lets go of the link without calling into the instrument API (library unload).
    void abandon();

private:
    // Held by an instrument function (and scan) while it uses the link: false when a link function
    // is changing the link, which the call then takes as no link.
    class call_scope {
    public:
        explicit call_scope(flat_api &api);
        ~call_scope();
        call_scope(const call_scope &) = delete;
        call_scope &operator=(const call_scope &) = delete;
        explicit operator bool() const { return entered_; }

    private:
        flat_api &api_;
        bool entered_;
    };
    // Held by a link function (under lock_) while it changes the link: new calls find no link, and
    // wait_for_calls() returns once the calls in progress have left.
    class link_change {
    public:
        explicit link_change(flat_api &api);
        ~link_change();
        link_change(const link_change &) = delete;
        link_change &operator=(const link_change &) = delete;
        void wait_for_calls();

    private:
        flat_api &api_;
    };

    DWORD bind_locked();
    bool begin_locked(DWORD *status);
    void register_serial(DWORD timeout, DWORD com_port, DWORD baud, DWORD flow);
    DWORD open_link(DWORD wait, DWORD mode);
    bool wait_listed(DWORD wait, bool *on_usb, bool *on_serial);
    DWORD open_first_device(DWORD wait, std::unique_ptr<session> &out);
    bool link_up();
    DWORD reopen(DWORD wait);
    DWORD set_mode(uint8_t mode);
    void drop_session();
    void drop_port();
    void drop_link();
    void fail_cleanup();
    DWORD close_locked();
    DWORD tapi_locked(DWORD timeout, DWORD device, const std::vector<BYTE> &config, const char *phone, DWORD redial,
                      DWORD max_redials);

    bool no_link() const;
    DWORD reset_device();
    DWORD recover_pipe(bool out);
    DWORD recover(bool out);
    DWORD after_control(DWORD status);
    DWORD control_set(uint32_t word, uint16_t value, const uint32_t *words, uint16_t n, DWORD timeout);
    DWORD control_get(uint32_t word, uint16_t value, uint16_t n, uint32_t *words, DWORD timeout);
    DWORD bulk_read(uint8_t *buffer, uint32_t size, DWORD timeout, DWORD *delivered);
    DWORD read_data(DWORD byte_count, DWORD *received, DWORD timeout, std::vector<uint8_t> &data);
    DWORD read_blocks(DWORD p1, DWORD p2, DWORD byte_count, DWORD block_size, uint8_t *bytes, DWORD *received,
                      DWORD timeout);

    environment &env_;
    CRITICAL_SECTION lock_;
    // Instrument calls in progress; a link function does not take the session, the port or the
    // binding from under them. Guarded by calls_lock_.
    CRITICAL_SECTION calls_lock_;
    DWORD calls_ = 0;
    DWORD changing_ = 0;
    HANDLE no_calls_ = nullptr;  // manual-reset, set while calls_ is 0
    DWORD mode_ = mode_none;
    std::unique_ptr<session> session_;
    std::unique_ptr<instrument_api> api_;
    std::shared_ptr<line> port_;
    // The second of an arrival and a removal seen in one scan, reported by the next.
    DWORD pending_scan_ = 0;
};

}  // namespace tavo

#endif
