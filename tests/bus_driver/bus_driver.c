/* A stand-in for the pad bus driver, for end-to-end tests under Wine: a WDM function driver on a
 * root-enumerated device that registers the bus interface class and answers the bus requests of
 * Xbox 360 and DualShock 4 pads the way the bridge relies on. The tests steer it through the
 * private requests of bus_control.h (rules, taken serials, rumble completions) and read back a log
 * of every bus request it saw, byte for byte.
 *
 * All state lives in one static record guarded by the cancel spin lock, so the cancel routine
 * and the dispatch routines never race over the table of pending requests. Requests are
 * completed only after the lock is released. */
#include <wdm.h>

#include "bus_control.h"

#define CHECK_VERSION 0x2AA00Cu
#define PLUG_IN 0x2AA004u
#define WAIT_READY 0x2AA010u
#define SUBMIT_REPORT 0x2AA808u
#define UNPLUG 0x2AA008u
#define AWAIT_RUMBLE 0x2AE804u
#define DS4_REPORT 0x2AA80Cu
#define DS4_FEEDBACK 0x2AA810u

#define TARGET_XBOX360 0u
#define TARGET_DS4 2u

#define MAX_RULES 8
#define MAX_PENDING 32

static const GUID kBusInterfaceClass = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

typedef struct Extension {
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
} Extension;

typedef struct Pending {
    PIRP irp;
    uint32_t code;
    uint32_t serial;
    uint32_t held;       /* held by a rule rather than waiting for rumble */
    uint32_t slowCancel; /* a cancel waits for the test's release */
    uint32_t cancelling; /* cancelled; the test finishes it */
    uint32_t inLength;
    uint32_t outLength;
    uint8_t data[BUS_TEST_LOG_DATA];
} Pending;

static struct {
    BusTestRule rules[MAX_RULES];
    uint32_t taken[BUS_TEST_MAX_PADS];
    uint32_t plugged[BUS_TEST_MAX_PADS];
    uint32_t target[BUS_TEST_MAX_PADS]; /* the target type of plugged[i] */
    Pending pending[MAX_PENDING];
    BusTestLogEntry log[BUS_TEST_LOG_CAPACITY];
    uint32_t logCount;
} g;

/* Requests taken out of the table under the lock, completed once it is released. */
typedef struct Finish {
    PIRP irps[MAX_PENDING];
    NTSTATUS status[MAX_PENDING];
    ULONG count;
} Finish;

static uint32_t Read32(const uint8_t* p, ULONG length, ULONG offset) {
    if (offset + 4 > length) return 0;
    return (uint32_t)p[offset] | (uint32_t)p[offset + 1] << 8 | (uint32_t)p[offset + 2] << 16 |
           (uint32_t)p[offset + 3] << 24;
}

static void Write32(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)(value >> 16);
    p[3] = (uint8_t)(value >> 24);
}

static void Log(uint32_t event, uint32_t code, uint32_t inLength, uint32_t outLength,
                uint32_t status, const uint8_t* data, ULONG dataLength) {
    if (g.logCount >= BUS_TEST_LOG_CAPACITY) return;
    BusTestLogEntry* e = &g.log[g.logCount++];
    RtlZeroMemory(e, sizeof(*e));
    e->event = event;
    e->code = code;
    e->inLength = inLength;
    e->outLength = outLength;
    e->status = status;
    e->stamp = (uint64_t)KeQueryPerformanceCounter(NULL).QuadPart;
    if (dataLength > BUS_TEST_LOG_DATA) dataLength = BUS_TEST_LOG_DATA;
    if (data != NULL) RtlCopyMemory(e->data, data, dataLength);
}

/* Serial tables: 0 marks a free entry. */
static BOOLEAN Contains(const uint32_t* table, uint32_t serial) {
    for (ULONG i = 0; i < BUS_TEST_MAX_PADS; ++i)
        if (serial != 0 && table[i] == serial) return TRUE;
    return FALSE;
}

static BOOLEAN Add(uint32_t* table, uint32_t serial) {
    for (ULONG i = 0; i < BUS_TEST_MAX_PADS; ++i) {
        if (table[i] == 0) {
            table[i] = serial;
            return TRUE;
        }
    }
    return FALSE;
}

static void Remove(uint32_t* table, uint32_t serial) {
    for (ULONG i = 0; i < BUS_TEST_MAX_PADS; ++i)
        if (table[i] == serial) table[i] = 0;
}

/* Plugs a serial in as a target type. */
static BOOLEAN Plug(uint32_t serial, uint32_t type) {
    for (ULONG i = 0; i < BUS_TEST_MAX_PADS; ++i) {
        if (g.plugged[i] == 0) {
            g.plugged[i] = serial;
            g.target[i] = type;
            return TRUE;
        }
    }
    return FALSE;
}

/* Whether a serial is plugged in as this target type. */
static BOOLEAN PluggedAs(uint32_t serial, uint32_t type) {
    for (ULONG i = 0; i < BUS_TEST_MAX_PADS; ++i)
        if (serial != 0 && g.plugged[i] == serial) return g.target[i] == type;
    return FALSE;
}

static BOOLEAN AllZero(const uint8_t* p, ULONG count) {
    for (ULONG i = 0; i < count; ++i)
        if (p[i] != 0) return FALSE;
    return TRUE;
}

/* One finger: a tracking number below 0x80 with a position on the pad, or 0x80 and zeros. */
static BOOLEAN FingerValid(const uint8_t* f) {
    if (f[0] == 0x80) return AllZero(f + 1, 3);
    if (f[0] > 0x80) return FALSE;
    const uint32_t x = (uint32_t)f[1] | ((uint32_t)f[2] & 0x0Fu) << 8;
    const uint32_t y = (uint32_t)f[2] >> 4 | (uint32_t)f[3] << 4;
    return x <= 1919 && y <= 942;
}

/* The DualShock 4 input report, whole (63 bytes) or its first 9 bytes in a short record. */
static BOOLEAN Ds4ReportValid(const uint8_t* r, ULONG length) {
    static const uint8_t unusedPacket[9] = {0, 0x80, 0, 0, 0, 0x80, 0, 0, 0};
    if ((r[4] & 0x0F) > 8) return FALSE;
    if (length < 63) return TRUE;
    if (r[11] != 0xFF || r[29] != 0x1A || r[32] != 1) return FALSE;
    if (!AllZero(r + 24, 5) || !AllZero(r + 30, 2) || !AllZero(r + 60, 3)) return FALSE;
    if (!FingerValid(r + 34) || !FingerValid(r + 38)) return FALSE;
    for (ULONG i = 0; i < 18; ++i)
        if (r[42 + i] != unusedPacket[i % 9]) return FALSE;
    return TRUE;
}

/* Takes a pending request out of the table for completion; FALSE when its cancel routine
 * already owns it. */
static BOOLEAN Claim(Pending* p, NTSTATUS status, Finish* finish) {
    PIRP irp = p->irp;
    const BOOLEAN cancelling = p->cancelling != 0;
    p->irp = NULL;
    p->cancelling = 0;
    /* A cancel the test was to finish: its routine has already run and left it to us. */
    if (cancelling) status = STATUS_CANCELLED;
    if (!cancelling && IoSetCancelRoutine(irp, NULL) == NULL) return FALSE;
    irp->IoStatus.Status = status;
    finish->irps[finish->count] = irp;
    finish->status[finish->count] = status;
    finish->count++;
    return TRUE;
}

static void CompleteAll(Finish* finish) {
    for (ULONG i = 0; i < finish->count; ++i) {
        finish->irps[i]->IoStatus.Status = finish->status[i];
        IoCompleteRequest(finish->irps[i], IO_NO_INCREMENT);
    }
}

static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    for (ULONG i = 0; i < MAX_PENDING; ++i) {
        Pending* p = &g.pending[i];
        if (p->irp != irp) continue;
        if (p->slowCancel) {
            p->cancelling = 1;
            IoReleaseCancelSpinLock(irp->CancelIrql);
            return;
        }
        Log(BUS_EVENT_CANCELLED, p->code, p->inLength, p->outLength, (uint32_t)STATUS_CANCELLED,
            p->data, BUS_TEST_LOG_DATA);
        p->irp = NULL;
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* The rule for a code, used up by one request; FALSE when the bus behaves normally. */
static BOOLEAN TakeRule(uint32_t code, BusTestRule* out) {
    for (ULONG i = 0; i < MAX_RULES; ++i) {
        BusTestRule* r = &g.rules[i];
        if (r->code != code || r->action == BUS_TEST_NORMAL) continue;
        *out = *r;
        if (r->count == 1) RtlZeroMemory(r, sizeof(*r));
        if (r->count > 1) r->count--;
        return TRUE;
    }
    return FALSE;
}

/* What the bus answers when no rule applies; STATUS_PENDING keeps the request waiting. */
static NTSTATUS Answer(uint32_t code, const uint8_t* in, ULONG inLength, ULONG outLength,
                       Finish* finish) {
    uint32_t size = Read32(in, inLength, 0);
    uint32_t serial = Read32(in, inLength, 4); /* the version, in CheckVersion */
    switch (code) {
        case CHECK_VERSION:
            return inLength == 8 && size == 8 && serial == 1 ? STATUS_SUCCESS
                                                             : STATUS_NOT_SUPPORTED;
        case PLUG_IN:
            if (inLength != 16 || size != 16 || serial == 0 || serial > 65535) {
                return STATUS_INVALID_PARAMETER;
            }
            {
                const uint32_t type = Read32(in, inLength, 8);
                const uint32_t ids = Read32(in, inLength, 12);
                if (!(type == TARGET_XBOX360 && ids == 0x028E045Eu) &&
                    !(type == TARGET_DS4 && ids == 0x05C4054Cu)) {
                    return STATUS_INVALID_PARAMETER;
                }
                if (Contains(g.taken, serial) || Contains(g.plugged, serial)) {
                    return STATUS_INVALID_PARAMETER;
                }
                return Plug(serial, type) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            }
        case WAIT_READY:
        case SUBMIT_REPORT:
            if (inLength != size || (code == WAIT_READY ? size != 8 : size != 20)) {
                return STATUS_INVALID_PARAMETER;
            }
            if (!Contains(g.plugged, serial)) return STATUS_DEVICE_NOT_CONNECTED;
            if (code == SUBMIT_REPORT && !PluggedAs(serial, TARGET_XBOX360)) {
                return STATUS_INVALID_PARAMETER;
            }
            return STATUS_SUCCESS;
        case DS4_REPORT:
            if (inLength != size || (size != 71 && size != 20)) return STATUS_INVALID_PARAMETER;
            if (size == 20 && !AllZero(in + 17, 3)) return STATUS_INVALID_PARAMETER;
            if (!Contains(g.plugged, serial)) return STATUS_DEVICE_NOT_CONNECTED;
            if (!PluggedAs(serial, TARGET_DS4) || !Ds4ReportValid(in + 8, inLength - 8)) {
                return STATUS_INVALID_PARAMETER;
            }
            return STATUS_SUCCESS;
        case DS4_FEEDBACK:
            if (inLength != 16 || outLength != 16 || size != 16 || !AllZero(in + 8, 8)) {
                return STATUS_INVALID_PARAMETER;
            }
            return PluggedAs(serial, TARGET_DS4) ? STATUS_PENDING : STATUS_DEVICE_NOT_CONNECTED;
        case UNPLUG:
            /* Unplugging a serial that is not plugged in is not an error: it is gone. */
            if (inLength != 8 || size != 8) return STATUS_INVALID_PARAMETER;
            Remove(g.plugged, serial);
            /* A pad that goes away ends its rumble wait. */
            for (ULONG i = 0; i < MAX_PENDING; ++i) {
                Pending* p = &g.pending[i];
                if (p->irp == NULL || p->held || p->serial != serial) continue;
                Log(BUS_EVENT_COMPLETED, p->code, p->inLength, p->outLength,
                    (uint32_t)STATUS_DEVICE_NOT_CONNECTED, p->data, BUS_TEST_LOG_DATA);
                Claim(p, STATUS_DEVICE_NOT_CONNECTED, finish);
            }
            return STATUS_SUCCESS;
        case AWAIT_RUMBLE:
            if (inLength != 12 || outLength != 12 || size != 12) return STATUS_INVALID_PARAMETER;
            return PluggedAs(serial, TARGET_XBOX360) ? STATUS_PENDING : STATUS_DEVICE_NOT_CONNECTED;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS BusRequest(PIRP irp, uint32_t code, ULONG inLength, ULONG outLength) {
    const uint8_t* in = irp->AssociatedIrp.SystemBuffer;
    Finish finish;
    finish.count = 0;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BusTestLogEntry* entry = NULL;
    if (g.logCount < BUS_TEST_LOG_CAPACITY) entry = &g.log[g.logCount];
    Log(BUS_EVENT_REQUEST, code, inLength, outLength, 0, in, inLength);
    BusTestRule rule = {0, 0, 0, 0};
    NTSTATUS status;
    BOOLEAN held = FALSE;
    if (TakeRule(code, &rule)) {
        held = rule.action == BUS_TEST_HOLD || rule.action == BUS_TEST_HOLD_SLOW_CANCEL;
        status = held ? STATUS_PENDING : (NTSTATUS)rule.status;
    } else {
        status = Answer(code, in, inLength, outLength, &finish);
    }
    Pending* slot = NULL;
    if (status == STATUS_PENDING) {
        for (ULONG i = 0; i < MAX_PENDING && slot == NULL; ++i)
            if (g.pending[i].irp == NULL) slot = &g.pending[i];
        if (slot == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (entry != NULL) entry->status = (uint32_t)status;
    if (status != STATUS_PENDING) {
        IoReleaseCancelSpinLock(irql);
        CompleteAll(&finish);
        Complete(irp, status, 0);
        return status;
    }
    RtlZeroMemory(slot, sizeof(*slot));
    slot->irp = irp;
    slot->code = code;
    slot->serial = Read32(in, inLength, 4);
    slot->held = held;
    slot->slowCancel = held && rule.action == BUS_TEST_HOLD_SLOW_CANCEL;
    slot->inLength = inLength;
    slot->outLength = outLength;
    if (in != NULL) {
        RtlCopyMemory(slot->data, in, inLength < BUS_TEST_LOG_DATA ? inLength : BUS_TEST_LOG_DATA);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelPending);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        /* Cancelled before the routine was in place: nobody else will finish it. */
        slot->irp = NULL;
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(irql);
    CompleteAll(&finish);
    return STATUS_PENDING;
}

/* The waiting, not held, request of a code and serial; the cancel spin lock must be held. */
static Pending* FindWaiting(uint32_t code, uint32_t serial) {
    for (ULONG i = 0; i < MAX_PENDING; ++i) {
        Pending* q = &g.pending[i];
        if (q->irp != NULL && !q->held && q->code == code && q->serial == serial) return q;
    }
    return NULL;
}

/* Fills the waiting AwaitRumble of a serial with motor bytes, or a malformed record. */
static NTSTATUS Rumble(const BusTestRumble* r) {
    Finish finish;
    finish.count = 0;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Pending* p = FindWaiting(AWAIT_RUMBLE, r->serial);
    PIRP irp = p != NULL ? p->irp : NULL;
    if (p == NULL || !Claim(p, STATUS_SUCCESS, &finish)) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_NOT_FOUND;
    }
    if (r->form == BUS_RUMBLE_FAIL) {
        finish.status[0] = STATUS_UNSUCCESSFUL;
        irp->IoStatus.Information = 0;
        Log(BUS_EVENT_COMPLETED, AWAIT_RUMBLE, 12, 12, (uint32_t)STATUS_UNSUCCESSFUL, NULL, 0);
        IoReleaseCancelSpinLock(irql);
        CompleteAll(&finish);
        return STATUS_SUCCESS;
    }
    uint8_t* record = irp->AssociatedIrp.SystemBuffer;
    Write32(record, r->form == BUS_RUMBLE_BAD_SIZE ? 13 : 12);
    Write32(record + 4, r->form == BUS_RUMBLE_BAD_SERIAL ? r->serial + 1 : r->serial);
    record[8] = r->low;
    record[9] = r->high;
    record[10] = 0;
    record[11] = 0;
    irp->IoStatus.Information = r->form == BUS_RUMBLE_SHORT ? 8 : 12;
    Log(BUS_EVENT_COMPLETED, AWAIT_RUMBLE, 12, 12, STATUS_SUCCESS, record, 12);
    IoReleaseCancelSpinLock(irql);
    CompleteAll(&finish);
    return STATUS_SUCCESS;
}

/* Fills the waiting DualShock 4 feedback request of a serial with motors and a colour. */
static NTSTATUS Feedback(const BusTestFeedback* f) {
    Finish finish;
    finish.count = 0;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Pending* p = FindWaiting(DS4_FEEDBACK, f->serial);
    PIRP irp = p != NULL ? p->irp : NULL;
    if (p == NULL || !Claim(p, STATUS_SUCCESS, &finish)) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_NOT_FOUND;
    }
    uint8_t* record = irp->AssociatedIrp.SystemBuffer;
    Write32(record, 16);
    Write32(record + 4, f->serial);
    record[8] = f->smallMotor;
    record[9] = f->largeMotor;
    record[10] = f->red;
    record[11] = f->green;
    record[12] = f->blue;
    record[13] = record[14] = record[15] = 0;
    irp->IoStatus.Information = 16;
    Log(BUS_EVENT_COMPLETED, DS4_FEEDBACK, 16, 16, STATUS_SUCCESS, record, 16);
    IoReleaseCancelSpinLock(irql);
    CompleteAll(&finish);
    return STATUS_SUCCESS;
}

/* Completes held requests: every one with `code`, or every pending one at all on reset. */
static ULONG Release(BOOLEAN everything, uint32_t code, NTSTATUS status) {
    Finish finish;
    finish.count = 0;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    for (ULONG i = 0; i < MAX_PENDING; ++i) {
        Pending* p = &g.pending[i];
        if (p->irp == NULL || !(everything || (p->held && p->code == code))) continue;
        NTSTATUS result = status;
        if (!everything && p->cancelling) {
            Log(BUS_EVENT_CANCELLED, p->code, p->inLength, p->outLength, (uint32_t)STATUS_CANCELLED,
                p->data, BUS_TEST_LOG_DATA);
        } else if (!everything) {
            if (status == STATUS_SUCCESS) {
                result = Answer(p->code, p->data, p->inLength, p->outLength, &finish);
                if (result == STATUS_PENDING) result = STATUS_SUCCESS;
            }
            Log(BUS_EVENT_COMPLETED, p->code, p->inLength, p->outLength, (uint32_t)result, p->data,
                BUS_TEST_LOG_DATA);
        }
        p->irp->IoStatus.Information = 0;
        Claim(p, result, &finish);
    }
    if (everything) {
        RtlZeroMemory(g.rules, sizeof(g.rules));
        RtlZeroMemory(g.taken, sizeof(g.taken));
        RtlZeroMemory(g.plugged, sizeof(g.plugged));
        RtlZeroMemory(g.target, sizeof(g.target));
        g.logCount = 0;
    }
    IoReleaseCancelSpinLock(irql);
    CompleteAll(&finish);
    return finish.count;
}

static NTSTATUS TestRequest(PIRP irp, uint32_t code, ULONG inLength, ULONG outLength) {
    uint8_t* buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    switch (code) {
        case BUS_TEST_RESET:
            Release(TRUE, 0, STATUS_CANCELLED);
            Complete(irp, STATUS_SUCCESS, 0);
            return STATUS_SUCCESS;
        case BUS_TEST_RULE: {
            if (inLength != sizeof(BusTestRule)) break;
            const BusTestRule* rule = (const BusTestRule*)buffer;
            NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
            IoAcquireCancelSpinLock(&irql);
            for (ULONG i = 0; i < MAX_RULES; ++i) {
                BusTestRule* r = &g.rules[i];
                if (r->code == rule->code || r->code == 0) {
                    *r = *rule;
                    status = STATUS_SUCCESS;
                    break;
                }
            }
            IoReleaseCancelSpinLock(irql);
            Complete(irp, status, 0);
            return status;
        }
        case BUS_TEST_TAKE: {
            if (inLength != 4) break;
            IoAcquireCancelSpinLock(&irql);
            BOOLEAN added = Add(g.taken, Read32(buffer, inLength, 0));
            IoReleaseCancelSpinLock(irql);
            NTSTATUS status = added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            Complete(irp, status, 0);
            return status;
        }
        case BUS_TEST_RUMBLE: {
            if (inLength != sizeof(BusTestRumble)) break;
            BusTestRumble r = *(const BusTestRumble*)buffer;
            NTSTATUS status = Rumble(&r);
            Complete(irp, status, 0);
            return status;
        }
        case BUS_TEST_FEEDBACK: {
            if (inLength != sizeof(BusTestFeedback)) break;
            BusTestFeedback f = *(const BusTestFeedback*)buffer;
            NTSTATUS status = Feedback(&f);
            Complete(irp, status, 0);
            return status;
        }
        case BUS_TEST_RELEASE: {
            if (inLength != sizeof(BusTestRelease) || outLength < 4) break;
            BusTestRelease r = *(const BusTestRelease*)buffer;
            Write32(buffer, Release(FALSE, r.code, (NTSTATUS)r.status));
            Complete(irp, STATUS_SUCCESS, 4);
            return STATUS_SUCCESS;
        }
        case BUS_TEST_STATE: {
            if (outLength < sizeof(BusTestState)) break;
            BusTestState* s = (BusTestState*)buffer;
            RtlZeroMemory(s, sizeof(*s));
            IoAcquireCancelSpinLock(&irql);
            s->logCount = g.logCount;
            for (ULONG i = 0; i < MAX_PENDING; ++i) {
                const Pending* p = &g.pending[i];
                if (p->irp == NULL) continue;
                if (p->held) s->held++;
                if (p->cancelling) s->cancelling++;
                if (!p->held && (p->code == AWAIT_RUMBLE || p->code == DS4_FEEDBACK)) {
                    Add(s->rumbleWaiting, p->serial);
                }
            }
            RtlCopyMemory(s->plugged, g.plugged, sizeof(s->plugged));
            IoReleaseCancelSpinLock(irql);
            Complete(irp, STATUS_SUCCESS, sizeof(*s));
            return STATUS_SUCCESS;
        }
        case BUS_TEST_LOG: {
            if (inLength != 4) break;
            uint32_t first = Read32(buffer, inLength, 0);
            ULONG copied = 0;
            IoAcquireCancelSpinLock(&irql);
            for (uint32_t i = first; i < g.logCount; ++i) {
                if ((copied + 1) * sizeof(BusTestLogEntry) > outLength) break;
                RtlCopyMemory(buffer + copied * sizeof(BusTestLogEntry), &g.log[i],
                              sizeof(BusTestLogEntry));
                copied++;
            }
            IoReleaseCancelSpinLock(irql);
            Complete(irp, STATUS_SUCCESS, copied * sizeof(BusTestLogEntry));
            return STATUS_SUCCESS;
        }
        default:
            break;
    }
    Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = 0;
    if (code >= BUS_TEST_RESET && code <= BUS_TEST_FEEDBACK) {
        return TestRequest(irp, code, inLength, outLength);
    }
    return BusRequest(irp, code, inLength, outLength);
}

static NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    Complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Extension* ext = device->DeviceExtension;
    PDEVICE_OBJECT lower = ext->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            IoSetDeviceInterfaceState(&ext->link, TRUE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            IoSetDeviceInterfaceState(&ext->link, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower);
            RtlFreeUnicodeString(&ext->link);
            IoDeleteDevice(device);
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    Extension* ext = fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    status = IoRegisterDeviceInterface(pdo, &kBusInterfaceClass, NULL, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}
