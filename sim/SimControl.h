/* Control interface of the simulated D2XX driver (libftd2xx.so built from sim/).
 *
 * Besides D2XX's own entry points the simulator exports these functions so that tests and
 * benchmarks can choose what is plugged in, how the SSC device behaves and which faults the chip
 * shows, and can look at what happened. They are plain C so that any loader can bind them with
 * dlsym.
 *
 * The settings are process-wide state of the loaded library: they live as long as the library
 * stays loaded. A test that keeps its own dlopen handle on the file keeps them while the program
 * under test loads and unloads the same file. Every setting takes effect from the next call into
 * the driver on; the stream settings (vsim_SetStream, vsim_SetNoPattern) from the next open or
 * bit-mode reset, where the device starts over.
 *
 * Fault counts are numbers of driver calls the fault applies to; -1 keeps the fault armed until
 * it is cleared with 0.
 */
#ifndef VELMOR_SIM_SIMCONTROL_H
#define VELMOR_SIM_SIMCONTROL_H

#if defined(__GNUC__)
#define VSIM_EXPORT __attribute__((visibility("default")))
#else
#define VSIM_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What the SSC device sends once it has seen the host's first frame. */
enum {
    VSIM_ECHO = 0,   /* every new host byte, back to the host */
    VSIM_SEND = 1,   /* the bytes given to vsim_QueueDeviceBytes, in order, once each */
    VSIM_SILENT = 2, /* idle pairs only */
    VSIM_COUNTER = 3 /* 0, 1, ..., 255, 0, ... without idle pairs, for throughput runs */
};

/* A snapshot of one simulated chip and the device behind it. */
typedef struct VsimChipState {
    int open; /* 1 until FT_Close */
    unsigned latencyMs;
    unsigned readTimeoutMs; /* 0 = wait for ever */
    unsigned writeTimeoutMs;
    unsigned bitMode; /* last mode given to FT_SetBitMode */
    unsigned bitMask;
    int bitModeCalls;
    unsigned lowValue; /* 0x80 */
    unsigned lowDir;
    unsigned highValue; /* 0x82 */
    unsigned highDir;
    int loopback;     /* 0x84 on, 0x85 off */
    unsigned divisor; /* 0x86: SCK = 12 MHz / ((1 + divisor) * 2) */
    long long bitsClocked;
    long long frames; /* 0x3D commands started */
    long long badCommands;
    unsigned lastBadOpcode;
    int deviceSynced;               /* the device has seen its first frame since open or reset */
    long long hostBytes;            /* new host bytes the device accepted */
    long long deviceBytesSent;      /* words sent with flag 0x01, counted once fully clocked out */
    unsigned long long largestRead; /* the largest count asked of FT_Read since open */
    /* the most command bytes held unclocked when an FT_Write began, since open */
    unsigned long long largestBacklog;
    int waiting; /* driver calls sleeping on the chip now: FT_Read for bytes, FT_Write for room */
} VsimChipState;

/* Every setting back to its default: devices {"SSC Simulator"} (or those VSIM_DEVICES names, ';'
 * between descriptions, when the variable was set as the library was loaded), real time, VSIM_ECHO,
 * random stream offset, no leading zeros, pattern on, no faults, no write budget, SEND queue empty.
 * The record of host bytes is cleared, and a chip that is closed is forgotten by
 * vsim_GetChipState and vsim_GetWriteLog. Open chips stay open. */
VSIM_EXPORT void vsim_Reset(void);

/* The devices attached, by description, in FT_ListDevices order; count 0 = none attached. The
 * device at index i has serial number "SIM" and i in three digits (SIM000, SIM001, ...) and
 * location ID 0x11 + i, so boards that share a description are told apart by either; one opened
 * by serial number leaves another of its description free. */
VSIM_EXPORT void vsim_SetDevices(const char *const *descriptions, int count);

/* The board at `index` cannot be read, as a chip the user may not open: FT_ListDevices gives its
 * description with " (reason)" appended and no serial number, as the program's own driver lists
 * such a chip, and FT_OpenEx fails (FT_DEVICE_NOT_OPENED by description). A null or empty reason
 * makes it readable again; vsim_Reset makes every board readable. */
VSIM_EXPORT void vsim_SetUnreadable(int index, const char *reason);

/* 1: the chip clocks at its SCK rate by the monotonic clock (default). 0: fast mode, every
 * command completes as soon as it is written, bounded only by the read queue. */
VSIM_EXPORT void vsim_SetRealTime(int on);

VSIM_EXPORT void vsim_SetBehaviour(int behaviour);

/* Appends bytes for VSIM_SEND. The queue is shared by all chips and survives open and reset. */
VSIM_EXPORT void vsim_QueueDeviceBytes(const unsigned char *data, int count);

/* Where the device's pattern stream starts at the next open or reset: the first bit is bit
 * `offset` (0..15) of the pattern word, -1 = random each time (default), after `zeros` zero
 * bits (default 0). */
VSIM_EXPORT void vsim_SetStream(int offset, int zeros);

/* 1: the device's stream never carries the pattern (0x5555 words instead of 0x01A5). The default
 * is 0, or 1 when VSIM_NO_PATTERN was 1 as the library was loaded. */
VSIM_EXPORT void vsim_SetNoPattern(int on);

/* Each FT_Write takes at most maxBytes (0 = off). */
VSIM_EXPORT void vsim_SetShortWrite(int maxBytes);
/* FT_Write returns FT_IO_ERROR for `calls` calls. takeBytes 1: it still takes the bytes and
 * reports them written; 0: it takes none and reports 0. */
VSIM_EXPORT void vsim_SetWriteError(int calls, int takeBytes);
/* FT_Write takes nothing, waits its write timeout and returns FT_OK with 0 written. */
VSIM_EXPORT void vsim_SetWriteStall(int on);
/* FT_Write calls take at most `bytes` bytes in all from now on, counting down as they take them;
 * once the budget is spent FT_Write takes nothing, as a chip that has stopped taking commands:
 * it waits its write timeout and returns FT_OK with what it took. -1 = no limit (default). */
VSIM_EXPORT void vsim_SetWriteBudget(int bytes);
/* FT_Read returns FT_IO_ERROR with 0 bytes for `calls` calls; the data stays queued. */
VSIM_EXPORT void vsim_SetReadError(int calls);
/* For `calls` calls of FT_Read that ask for >= 2 bytes and would return >= 2, the call returns
 * one byte fewer; that byte stays queued for the next read. */
VSIM_EXPORT void vsim_SetOddRead(int calls);
/* 1: the device is gone. FT_OpenEx fails with FT_DEVICE_NOT_FOUND, FT_ListDevices lists no
 * device, every call on an open handle returns FT_IO_ERROR (FT_Close still frees the handle),
 * and calls blocked in FT_Read or FT_Write return FT_IO_ERROR at once. */
VSIM_EXPORT void vsim_SetUnplugged(int on);
/* FT_GetStatus reports `bytes` more waiting than there are, as a driver that overstates its
 * receive queue (0 = off). FT_Read still returns only what is there. */
VSIM_EXPORT void vsim_SetOverReport(unsigned bytes);
/* 1: FT_GetStatus reports a transmit count of 0, as FTDI's library does once it has handed the
 * bytes to the chip and a driver over libftdi1 always does. 0: the bytes not yet clocked. */
VSIM_EXPORT void vsim_SetTxCountHidden(int on);

/* The chips open now: successful FT_OpenEx calls less FT_Close calls. */
VSIM_EXPORT int vsim_OpenCount(void);
/* New host bytes the devices accepted, oldest first, removed from the record (which keeps the
 * first 1 MiB not yet taken). Returns the count copied. */
VSIM_EXPORT int vsim_TakeHostBytes(unsigned char *buf, int cap);
/* The most recently opened chip, even if closed since; returns 0 (and leaves *state alone) if
 * there is none, else 1. */
VSIM_EXPORT int vsim_GetChipState(VsimChipState *state);
/* The first bytes written with FT_Write to the most recent chip since its open (the first
 * 65536 are kept); returns the count copied. */
VSIM_EXPORT int vsim_GetWriteLog(unsigned char *buf, int cap);

#ifdef __cplusplus
}
#endif

#endif /* VELMOR_SIM_SIMCONTROL_H */
