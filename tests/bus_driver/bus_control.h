/* The test side of the stand-in bus driver: private requests that only the tests send, on the
 * same device interface the bridge opens, and the records they carry. Shared by the driver (C)
 * and the test host (C++). Every field is little-endian and 32-bit aligned. */
#ifndef PADBRIDGE_TESTS_BUS_CONTROL_H
#define PADBRIDGE_TESTS_BUS_CONTROL_H

#include <stdint.h>

/* Bus extender type 0x2A, buffered, any access; functions 0x900 and up are ours alone. */
#define BUS_TEST_CODE(function) (0x2A0000u | ((uint32_t)(function) << 2))

/* Forgets every rule, taken serial, plugged pad and log entry; cancels whatever is held. */
#define BUS_TEST_RESET BUS_TEST_CODE(0x900)
/* Input: BusTestRule. Decides how the next requests with one code are answered. */
#define BUS_TEST_RULE BUS_TEST_CODE(0x901)
/* Input: uint32_t serial. PlugIn answers "taken" for it from now on. */
#define BUS_TEST_TAKE BUS_TEST_CODE(0x902)
/* Input: BusTestRumble. Completes the waiting AwaitRumble of a serial; fails with
 * STATUS_NOT_FOUND when none waits. */
#define BUS_TEST_RUMBLE BUS_TEST_CODE(0x903)
/* Input: BusTestRelease. Completes every held request with that code; output: uint32_t count.
 * Released with success, a request has the effect it has on the bus (PlugIn plugs in). */
#define BUS_TEST_RELEASE BUS_TEST_CODE(0x904)
/* Output: BusTestState. */
#define BUS_TEST_STATE BUS_TEST_CODE(0x905)
/* Input: uint32_t first entry. Output: as many BusTestLogEntry records from there as fit. */
#define BUS_TEST_LOG BUS_TEST_CODE(0x906)
/* Input: BusTestFeedback. Completes the waiting DualShock 4 feedback request of a serial; fails
 * with STATUS_NOT_FOUND when none waits. */
#define BUS_TEST_FEEDBACK BUS_TEST_CODE(0x907)

enum BusTestAction {
    BUS_TEST_NORMAL = 0, /* behave as the bus does */
    BUS_TEST_ANSWER = 1, /* complete at once with `status` */
    BUS_TEST_HOLD = 2,   /* keep pending until cancelled or released */
    /* As HOLD, but a cancel only finishes when the test releases the request, as with a
     * driver that takes its time over a cancellation. */
    BUS_TEST_HOLD_SLOW_CANCEL = 3,
};

typedef struct BusTestRule {
    uint32_t code;   /* one of the bus request codes */
    uint32_t action; /* BusTestAction */
    uint32_t status; /* NTSTATUS for BUS_TEST_ANSWER */
    uint32_t count;  /* how many requests the rule covers; 0: all from now on */
} BusTestRule;

enum BusTestRumbleForm {
    BUS_RUMBLE_GOOD = 0,
    BUS_RUMBLE_BAD_SIZE = 1,   /* size field 13 */
    BUS_RUMBLE_BAD_SERIAL = 2, /* serial + 1 echoed */
    BUS_RUMBLE_SHORT = 3,      /* 8 bytes returned */
    BUS_RUMBLE_FAIL = 4,       /* the request fails with STATUS_UNSUCCESSFUL */
};

typedef struct BusTestRumble {
    uint32_t serial;
    uint8_t low;
    uint8_t high;
    uint16_t form; /* BusTestRumbleForm */
} BusTestRumble;

typedef struct BusTestFeedback {
    uint32_t serial;
    uint8_t smallMotor;
    uint8_t largeMotor;
    uint8_t red;
    uint8_t green;
    uint8_t blue;
    uint8_t unused[3];
} BusTestFeedback;

typedef struct BusTestRelease {
    uint32_t code;
    uint32_t status; /* NTSTATUS the held requests complete with */
} BusTestRelease;

#define BUS_TEST_MAX_PADS 8

typedef struct BusTestState {
    uint32_t logCount;
    uint32_t held;                             /* requests held by a rule */
    uint32_t cancelling;                       /* of those, cancelled but not yet finished */
    uint32_t rumbleWaiting[BUS_TEST_MAX_PADS]; /* serials with an AwaitRumble or a DualShock 4
                                                  feedback request pending, 0: none */
    uint32_t plugged[BUS_TEST_MAX_PADS];       /* plugged serials, 0: none */
} BusTestState;

enum BusTestEvent {
    BUS_EVENT_REQUEST = 1,   /* a request arrived; status is its answer or STATUS_PENDING */
    BUS_EVENT_CANCELLED = 2, /* the sender cancelled a pending request */
    BUS_EVENT_COMPLETED = 3, /* a pending request completed later with status */
};

#define BUS_TEST_LOG_DATA 72 /* room for the DualShock 4's 71-byte report record */

typedef struct BusTestLogEntry {
    uint32_t event; /* BusTestEvent */
    uint32_t code;
    uint32_t inLength;
    uint32_t outLength;
    uint32_t status;
    uint8_t data[BUS_TEST_LOG_DATA]; /* the first input bytes (zero-padded) */
    uint64_t stamp; /* KeQueryPerformanceCounter as the entry was made: the latency benchmark
                       compares it with the QueryPerformanceCounter of the host's write */
} BusTestLogEntry;

#define BUS_TEST_LOG_CAPACITY 1024

#endif
