// One outgoing data-modem call through the telephony line API (version 1.4 functions, bound from
// TAPI32.DLL at run time): line device listing, the device's modem configuration, placing, watching
// and dropping the call, and the connected call's "comm/datamodem" handle. Progress goes to debug
// output and, given a window, to status messages (0x801).
//
// A session works on the thread that initialised it: its callbacks arrive through that thread's
// messages, and every wait here dispatches them. Only one call is handled in the process at a time.
// Another thread may still hang the call up, ask whether it stands, or destroy the session (a
// redial from the serial worker): those calls and the callbacks take turns on the session.
#ifndef TAVOBRIDGE_TAPISESSION_H
#define TAVOBRIDGE_TAPISESSION_H

#include <windows.h>

#include <tapi.h>

#include <atomic>
#include <string>
#include <vector>

class TapiSession {
public:
    TapiSession();
    ~TapiSession();
    TapiSession(const TapiSession&) = delete;
    TapiSession& operator=(const TapiSession&) = delete;

    void set_window(HWND window) { window_ = window; }
    void set_phone_number(const std::string& number) { phone_number_ = number; }
    void set_line_device(DWORD device) { line_device_ = device; }
    // Frees the old copy; null or 0 leaves none. False only when the copy cannot be allocated.
    bool set_device_configuration(const BYTE* bytes, DWORD size);

    const BYTE* device_configuration() const { return config_; }
    DWORD device_configuration_size() const { return config_size_; }
    DWORD line_device_count() const { return device_count_; }
    // The connected call's data handle; it stays the session's (closed when the session goes).
    HANDLE comm_handle() const { return comm_; }

    bool InitializeTapi();
    // The line devices usable as data modems, by name and identifier, in device order. Always true.
    bool enumerate_line_devices(std::vector<std::string>& names, std::vector<DWORD>& ids);
    // Fetches the device's "comm/datamodem" configuration into the session (when it holds none).
    void PreConfigureDevice(DWORD device);
    // True when the call is connected and its data handle is held.
    bool PlaceCall();
    bool HangupCall();
    bool ShutdownTapi();
    bool IsCallConnected();
    // From any thread: a call being placed is given up. The dialling thread's waits end at their next
    // look and it hangs the call up without waiting for replies; later PlaceCall calls fail.
    void Abandon() { abandoned_.store(1); }

    static void CALLBACK lineCallbackFunc(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                                          DWORD_PTR param2, DWORD_PTR param3);

private:
    enum wait_result : LONG { wait_done = 0, wait_aborted = 1, wait_timed_out = 2 };

    DWORD negotiate(DWORD device, DWORD low, bool dial_dialog);
    bool DialCallInParts(const LINEDEVCAPS* caps, const std::string& number, const std::string& displayable);
    LONG WaitForReply(LONG request);
    LONG WaitForCallState(DWORD wanted);
    LONG finish_reply(LONG result);
    bool can_pump() const;
    void handle(DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);
    void on_call_state(DWORD device, DWORD state, DWORD detail, DWORD privilege);
    void on_connected();
    void on_line_state(DWORD state, DWORD p2, DWORD p3);
    void on_create(DWORD device);
    void report(DWORD kind, DWORD code);
    void drop_current();
    void forget_call();

    std::string phone_number_;
    HANDLE comm_ = nullptr;
    HLINEAPP app_ = 0;
    DWORD initialising_ = 0;
    HLINE line_ = 0;
    HCALL call_ = 0;
    DWORD version_ = 0;
    HWND window_ = nullptr;
    DWORD line_device_ = 0;
    BYTE* config_ = nullptr;
    DWORD config_size_ = 0;
    DWORD device_count_ = 0;
    DWORD call_in_progress_ = 0;
    DWORD reply_wait_ended_ = 0;
    DWORD stopping_ = 0;
    DWORD shutting_down_ = 0;
    DWORD connected_ = 0;
    LONG reply_result_ = 0;
    DWORD reply_received_ = 0;
    LONG awaited_request_ = 0;
    DWORD call_state_seen_ = 0;
    DWORD last_call_state_ = 0;
    DWORD owner_thread_ = 0;
    std::atomic<LONG> abandoned_{0};
    // Held by the callbacks and by the operations another thread may call; recursive, as the
    // handlers re-enter them.
    CRITICAL_SECTION guard_;
    // Callbacks that found this session and have not finished with it (under the registry's lock).
    LONG pins_ = 0;
};

#endif
