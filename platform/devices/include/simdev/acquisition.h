// The simulated outside acquisition device: a WDM driver built as a shared library ("lumewdm") that the
// PnP manager loads like a .sys for devices on the root bus. Tests steer it through the C functions
// below, found with dlopen/dlsym on the same library (one copy per process).
#ifndef SIMDEV_ACQUISITION_H
#define SIMDEV_ACQUISITION_H

#include <stdint.h>

#define ACQSIM_MAX_ITEMS 32
#define ACQSIM_MAX_RECORD 256

struct acqsim_list {
    uint32_t count;                   // items the driver reports
    int32_t items[ACQSIM_MAX_ITEMS];  // sent as i16 or u32 depending on the code
};

// What one device answers. Codes in the switches are the device-control codes (0 = none).
struct acqsim_config {
    uint16_t counts[6];  // the channel-count block: input signal, process, digital, tacho; output signal, digital
    uint32_t serial_number;
    uint32_t device_version;
    uint32_t info_size;  // bytes the information request returns (8 normally)
    struct acqsim_list input_range;
    struct acqsim_list attenuation;
    struct acqsim_list input_list_32;
    struct acqsim_list list_16;
    struct acqsim_list list2_a;
    struct acqsim_list list2_b;
    struct acqsim_list list2_c;
    struct acqsim_list output_list_32;
    int16_t list2_c_range[3];
    uint32_t list2_c_range_size;  // bytes the range request returns (6 normally; 0 refuses it)
    uint32_t fail_code;           // this code fails with STATUS_DEVICE_DATA_ERROR
    uint32_t zero_count_code;     // the first phase of this list reports 0 items
    uint32_t short_items_code;    // the second phase of this list returns one item less than announced
    uint32_t pend;                // 0: completed at once; 1: pended and completed from a DPC; 2: pended and
                                  // held until the configuration changes to another value (or the device goes)
    uint32_t refuse_open;         // 1: opens fail with STATUS_ACCESS_DENIED
};

// The last attenuation record a device accepted.
struct acqsim_set_record {
    uint32_t sets;  // records accepted so far
    uint32_t size;
    uint8_t bytes[ACQSIM_MAX_RECORD];
};

#ifdef __cplusplus
extern "C" {
#endif
// The configuration the next device that arrives takes.
typedef void (*acqsim_set_next_fn)(const struct acqsim_config *config);
// Changes the configuration of the device with that serial number; 0 when there is none.
typedef int (*acqsim_update_fn)(uint32_t serial_number, const struct acqsim_config *config);
// The last accepted attenuation record of the device with that serial number; 0 when there is none.
typedef int (*acqsim_last_set_fn)(uint32_t serial_number, struct acqsim_set_record *out);
// Requests each device has seen (all codes), for tests that count them; 0 when there is none.
typedef int (*acqsim_requests_fn)(uint32_t serial_number, uint32_t *count);
#ifdef __cplusplus
}
#endif

#define ACQSIM_SET_NEXT "acqsim_set_next"
#define ACQSIM_UPDATE "acqsim_update"
#define ACQSIM_LAST_SET "acqsim_last_set"
#define ACQSIM_REQUESTS "acqsim_requests"

// Hardware id the driver is installed for and service name.
#define ACQSIM_HARDWARE_ID "LUME\\ACQ"
#define ACQSIM_SERVICE "lumewdm"

#endif
