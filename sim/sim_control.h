/* Inspection and control entry points of the simulated board library.
 * Tests and tools look these up with dlsym on the loaded libPCIAccessDll.so;
 * the program itself never does. All times are nanoseconds of the
 * simulator's clock. */
/* The declarations keep the layout of the C interface as published. */
/* clang-format off */
#ifndef Q7M_SIM_CONTROL_H
#define Q7M_SIM_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Clock. A null function restores the real monotonic clock. */
typedef uint64_t (*SimClockFn)(void *context);
void SimSetClock(SimClockFn fn, void *context);
uint64_t SimNowNs(void);

/* Restore the whole model to its power-on state (logs emptied too). */
void SimReset(void);

/* Access log of the trapped pages (I/O window and set-up block), one entry
 * per byte load or store that reached the model, in program order.
 * offset is relative to the mapped base (0x1B352 is port 0x352). */
typedef struct SimAccess {
  uint64_t timeNs;
  uint32_t offset;
  uint8_t value;
  uint8_t isWrite;
  uint8_t wide; /* 1 when the instruction touched more than this byte */
} SimAccess;
size_t SimAccessCount(void);
int SimAccessGet(size_t index, SimAccess *out); /* 0 on success */
void SimAccessClear(void);

/* The program's polling, counted since the board was opened (or SimReset):
 * every window access, loads of the UART's receive status (register 5 of
 * port 0x352) and of its receive data (register 4), and the threads that
 * read the status, up to 8 of them, in the order they first did. A thread's
 * times run from its first status read to its last: its own CPU time, and
 * the real monotonic clock's (also when SimSetClock set the model's). The
 * same figures end the trace's "stats" line. */
typedef struct SimPollFigures {
  uint64_t accesses;
  uint64_t statusReads;
  uint64_t rxBytes;
  size_t threads;
} SimPollFigures;
typedef struct SimPollThread {
  int64_t tid;
  uint64_t statusReads;
  uint64_t cpuNs;
  uint64_t wallNs;
} SimPollThread;
void SimGetPollFigures(SimPollFigures *out);
int SimPollThreadGet(size_t index, SimPollThread *out); /* 0 on success */

/* Registers. */
int SimPortValue(uint32_t port);          /* last byte stored at a plain port */
int SimRegValue(uint32_t index);          /* last value written to register index of port 0x352 */
int SimRegIndex(void);                    /* currently selected index at 0x353 */
uint32_t SimUartDivisor(void);            /* 16-bit divisor as programmed */
int SimUartEnabled(void);                 /* 1 after 1 was written to register 3 */

/* Transmit side: every byte written to the transmit data register. */
size_t SimTxCount(void);
int SimTxGet(size_t index, uint8_t *byte, uint64_t *startNs); /* 0 on success */
void SimTxClear(void);
uint64_t SimTxBusyUntilNs(void);

/* Receive side. SimRxInject: bytes arrive at once, in order (FIFO overflow
 * applies). SimRxWire: bytes are put on the wire paced at `baud` from now; a
 * baud rate other than the programmed one gives framing errors. */
void SimRxInject(const uint8_t *data, size_t count);
void SimRxWire(const uint8_t *data, size_t count, uint32_t baud);
size_t SimRxFifoLevel(void);
uint64_t SimRxLostCount(void);      /* bytes lost to overflow */
uint64_t SimRxOverflowEvents(void); /* times the overflow flag went from clear to set */
uint64_t SimRxFramingErrors(void);

/* Configuration space and set-up block. */
void SimConfigRead(uint8_t out[256]);
void SimConfigSetDeviceId(uint16_t deviceId);
/* Reads reaching beyond `bytes` (256 after SimReset) fill what lies below
 * and fail, as sysfs does for a process without CAP_SYS_ADMIN (64 bytes). */
void SimConfigSetReadLimit(uint32_t bytes);
uint64_t SimConfigWriteCount(void); /* ReadWriteConfigSpace calls with direction 0 */
void SimSetupBlockRead(uint8_t out[16], uint8_t written[16]);

/* Calls made to the entry points, for close-order checks. */
typedef struct SimCallCounts {
  uint32_t init, close, mmap, munmap;
  void *lastMunmapBase;
  void *mappedBase;
} SimCallCounts;
void SimGetCallCounts(SimCallCounts *out);
/* Order of Close/MUnmap calls as a short string such as "MC" (M = MUnmap, C = Close). */
const char *SimCloseOrder(void);

/* VSC7420 reset pulses seen on register 7 (a write of 1, then of 0), and the
 * width of the last one. */
uint64_t SimVscResetPulses(void);
uint64_t SimVscResetWidthNs(void);

/* Boards. Q7M_SIM_BOARDS=<n> (1 to 4, default 1) offers n simulated boards
 * at bus addresses 0000:03:00.0, 0000:04:00.0, ..., each with a device model,
 * consoles and pty bridge of its own; InitPCIAccess opens one (its third
 * argument, or Q7M_PCI_DEVICE by number or address) and locks it with a
 * flock on <address>.lock in Q7M_SIM_LOCK_DIR (default
 * $XDG_RUNTIME_DIR/q7m-uart-sim, else /tmp/q7m-uart-sim-<uid>) until Close.
 * A board another process holds is refused; SimLastError names the holder.
 * The other Sim functions and the mapping reach the board opened last
 * (board 0 before any); SimReset resets every board, whose variables are
 * then read again when it is next opened. */
int SimBoardIndex(void);
const char *SimBoardAddress(void);

/* Remote consoles. Each route value connects the UART to a console: the
 * VSC7420 (0, 4, 5), KB20Q (1), KB20T (3); route 2 (J27) is silent. With
 * Q7M_SIM_PTY=<path> in the environment when board 0 is first opened, a
 * pseudo-terminal replaces the consoles of Q7M_SIM_PTY_ROUTES (default all)
 * and <path> links to its slave; Q7M_SIM_PTY_BAUD=<n> makes its bytes arrive
 * at that rate instead of the programmed one. Board n reads Q7M_SIM<n>_PTY,
 * Q7M_SIM<n>_PTY_ROUTES and Q7M_SIM<n>_PTY_BAUD. */

/* Re-reads those variables for the current board and attaches its ends
 * again (a test's way of changing them after load). 0 on success; -1 when
 * the bridge could not be opened or a value is bad: the built-in consoles
 * stay, SimLastError says why. */
int SimApplyEnvironment(void);
/* The slave device the link points to, or "" when no bridge is open. */
const char *SimPtyPath(void);
/* Reason for the last failure of a Sim function or of the bridge, or "". */
const char *SimLastError(void);
/* Bytes the connected end has queued and not yet put on the line (for a
 * bridge: read from the pty and waiting for the line). */
uint64_t SimRemotePending(void);
/* VSC7420 boots begun so far (reset pulses and "reboot" commands). */
uint64_t SimVscBoots(void);

/* Flood mode: the connected end streams `bytes` of the numbered flood text
 * (sim/flood_text.h) back-to-back at the line rate, after any output it had
 * queued. -1 when nothing is connected. */
int SimFloodStart(uint64_t bytes);
uint64_t SimFloodSent(void); /* flood bytes put on the line so far */
int SimFloodActive(void);    /* 1 while flood bytes remain */

/* Trapped window: accesses that were single-stepped because the handler did
 * not decode their instruction (each costs about a character time at 115200
 * baud), and the last warning about one ("" when none), naming the
 * instruction's address and bytes. Counted per mapping; kept after MUnmap. */
uint64_t SimWindowSlowPathCount(void);
const char *SimLastWindowWarning(void);

#ifdef __cplusplus
}
#endif

#endif
/* clang-format on */
