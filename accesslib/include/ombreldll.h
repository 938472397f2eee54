// SPDX-License-Identifier: MIT
/*
 * OmbrelDll.so - Modbus RTU access library of the journal reader.
 *
 * Functions with C linkage, 32-bit integer arguments and results. One connection at a time;
 * every call blocks until its exchange has finished (answer, error or time-out). The port
 * belongs to the thread that called Connect: make every call of a connection from that thread.
 *
 * Result codes of the integer functions (the program's common table):
 *   0  success                         8  device busy (exception 6)
 *   1  no answer                       9  function cannot be executed (exception 4)
 *   2  CRC error, garbled answer      11  device address outside 1..247
 *   3  port closed or gone            12  illegal data address (exception 2)
 *   4  illegal function (exception 1) 13  function number the library cannot frame
 *   5  illegal data value (exception  14  any other exception code
 *      3), or a bad argument          16  reply of the wrong length / too long for the buffer
 *   7  acknowledge, long operation started (exception 5)
 *
 * Wire format: Modbus RTU, 8 data bits, no parity, 1 stop bit. A frame is the device address,
 * the PDU (function code, data) and the CRC-16 (polynomial 0xA001, initial 0xFFFF, low byte
 * first). Before each request the line is kept silent for 3.5 characters (1.75 ms above
 * 19,200 baud) and stale input is dropped. The end of an answer is found from its length; bytes
 * that do not begin a frame of the addressed device and function (noise, an echo, another
 * device's frame) are skipped, and a frame is only taken when its CRC is right. An answer
 * missing (no byte within the answer time-out, 500 ms by default), corrupt (CRC) or cut short
 * (no byte for the character time-out, 50 ms by default, in the middle of a frame) is sent
 * again as often as Retries says; an exception answer is final. An RTU answer carries no request
 * number, so after an exchange that took more than one try (or failed) the answers still due are
 * listened out and dropped before the call returns: until all have come, or none for an answer
 * time-out (or for the lateness an answer showed, when longer). One failed exchange, on a silent
 * or a noisy line, returns within (retries + 2) x (answer time-out + character time-out + 2 x
 * the wire time of 260 bytes, at least 20 ms). A port that fails (a USB adapter pulled) is closed
 * and every call returns 3 until the next Connect.
 *
 * Network endpoints: a port may be mapped to tcp://HOST[:PORT] (Modbus TCP: the MBAP header
 * carries a transaction id and the unit id, which is the device address; port 502 by default)
 * or rtu+tcp://HOST:PORT (the RTU frames above over a TCP stream). No silence is kept before a
 * request; on Modbus TCP an answer with another transaction or unit id is dropped as stale, so
 * nothing is listened out, and a header with a protocol id other than 0 or a length outside
 * 2..254 makes the answer corrupt (2). A connection the other end closed is opened again once,
 * silently, in the exchange that finds it closed; when that fails the call returns 3 and the
 * connection stays closed until the next Connect. Result codes are those of the serial line.
 *
 * Function 65 (the instrument's journal protocol):
 *   request PDU: 0x41 followed by the aSize (7) request bytes the caller put at the start of aP;
 *   reply PDU:   0x41, byte count N (0 to 251), N data bytes;
 *   exception:   0xC1, exception code.
 *   On success the reply PDU is written into the caller's 256-byte buffer from byte 0: byte 0 the
 *   function code, byte 1 the byte count, bytes 2 to N+1 the data, the rest zeroed. A byte count
 *   above 251 or one that disagrees with the frame gives 16.
 */
#ifndef OMBRELDLL_H
#define OMBRELDLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OMBREL_EXPORT __attribute__((visibility("default")))
#else
#define OMBREL_EXPORT
#endif

/* Link types of Connect's aType. */
enum { OMBREL_LINK_RS232 = 0, OMBREL_LINK_RS485 = 1 };

/* Opens COM<aPort> (resolved through the program's port list: system ports, main.ini [Ports],
 * JOURNAL_PORTS) at aSpeed baud, 8 data bits, no parity, 1 stop bit. aType 1 (low 8 bits) turns
 * on the kernel's RS-485 mode where the driver supports it; elsewhere the port is used as it is.
 * The device is locked by its identity (device and inode numbers): a device that another reader
 * holds under any of its names is refused. Closes a previous connection first. Returns 1 when
 * the port is open, 0 otherwise. A port mapped to a network endpoint is connected to within the
 * connect time limit (3 s, or the answer time-out when that is longer); aSpeed and aType do not
 * apply to it. */
OMBREL_EXPORT int32_t Connect(int32_t aPort, int32_t aSpeed, int32_t aType);

/* Closes the port. Returns 0. */
OMBREL_EXPORT int32_t Disconnect(void);

/* Function 17 (report server ID). The answer's data after the server identifier and the run
 * indicator byte is the device name. aP: buffer of aSize + 1 bytes (aSize at most 255); on
 * success byte 0 holds the name's length, then the name's bytes, the rest of the buffer zeroed.
 * A name longer than aSize gives 16. */
OMBREL_EXPORT int32_t GetDevName(int32_t aDevAddr, uint8_t* aP, int32_t aSize);

/* Function 8, sub-function 0 (return query data): 0 when the device echoes the request. */
OMBREL_EXPORT int32_t Test(int32_t aDevAddr);

/* Functions 4 and 3. Reads aCount values from the zero-based register address aRegAddr into aP
 * (252 bytes). aType is a data type code: 18/2 and any code not named here: one register a
 * value, stored least significant byte first (2 bytes a value, at most 125 registers);
 * 19/3/4 (32-bit): two registers a value, the first the high word, stored least significant
 * byte first (4 bytes a value, at most 62 values). */
OMBREL_EXPORT int32_t ReadInputRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                        int32_t aType, uint8_t* aP);
OMBREL_EXPORT int32_t ReadHoldingRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                          int32_t aType, uint8_t* aP);

/* Function 6: writes aValue (-32768..65535, stored as 16 bits) to register aRegAddr. */
OMBREL_EXPORT int32_t WriteRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aValue);

/* Function aFunNumber with aSize (0 to 252) request data bytes taken from aP (a 256-byte
 * buffer); the reply PDU replaces them as described above for function 65. Works for the
 * standard functions and function 65, whose answer length can be told from the answer;
 * any other number gives 13 without sending. */
OMBREL_EXPORT int32_t AnyFunction(int32_t aDevAddr, int32_t aFunNumber, int32_t aSize, uint8_t* aP);

/* How often an unanswered or corrupted request is sent again (0 = once only, at most 100).
 * Returns 0. */
OMBREL_EXPORT int32_t Retries(int32_t aRetries);

/* Extra export: the answer time-out (time from the request to the first answer byte, default
 * 500 ms) and the character time-out (the longest pause inside an answer, default 50 ms), in
 * milliseconds; a value of 0 or less keeps the current setting. The connect time limit of a
 * network endpoint follows the answer time-out above 3 s. Returns 0. */
OMBREL_EXPORT int32_t SetTimeouts(int32_t aAnswerMs, int32_t aCharMs);

/* Extra export: why the last Connect failed, as a UTF-8 text for the user (the port number or
 * speed is invalid; the port is not listed; the device does not exist; the user may not open it
 * (the device's owner and group, or how to join dialout); another program holds it; an endpoint
 * refused the connection, did not answer it in time, or its name is unknown; or the system's
 * own text). Empty after
 * a Connect that succeeded. Copies at most aSize - 1 bytes and a terminating zero into aBuf
 * (never cutting a character); returns the text's full length in bytes, so a result of aSize or
 * more means the copy was shortened. aBuf may be null when aSize is 0. */
OMBREL_EXPORT int32_t LastErrorText(char* aBuf, int32_t aSize);

/* Extra export: the line trace. Every frame the library sends and every stretch of bytes it
 * receives is handed to aObserver (with aUser), together with what the library made of it;
 * so are the tries that got no byte at all. aObserver runs on the calling thread, inside the
 * call that made the exchange, with the library's lock held: it must return quickly and must
 * not call into the library. The event and its bytes are valid only during the call. A null
 * aObserver ends the trace; while none is installed, nothing of it is done. Returns 0. */

/* What an event is (OmbrelTraceEvent.kind). */
enum {
    OMBREL_TRACE_REQUEST = 0, /* a request went out; attempt > 0: a retry */
    OMBREL_TRACE_ANSWER =
        1, /* the bytes that came during a try: its answer, or what came instead */
    OMBREL_TRACE_SILENCE = 2, /* a try that got no byte within the answer time */
    OMBREL_TRACE_LATE = 3,    /* bytes that came after their try had ended (dropped) */
    OMBREL_TRACE_CLOSED = 4,  /* the connection or port was found closed: the other end closed it,
                                 the device went away, or it could not be opened again */
    OMBREL_TRACE_WINDOW = 5   /* ReadRecords: the window changed to `window` (flags:
                                 OMBREL_WINDOW_*); no bytes */
};

/* Why the window changed (OmbrelTraceEvent.flags of OMBREL_TRACE_WINDOW). */
enum {
    OMBREL_WINDOW_START = 1,      /* the window a run begins with */
    OMBREL_WINDOW_WIDER = 2,      /* answers came whole and in time: an automatic window widened */
    OMBREL_WINDOW_FALLBACK = 4,   /* the gateway serves one request at a time: back to 1 ... */
    OMBREL_WINDOW_UNANSWERED = 8, /* ... it left requests unanswered that came while it was busy */
    OMBREL_WINDOW_CLOSED = 16     /* ... it closed the connection on a second request */
};

/* What the library made of received bytes (OmbrelTraceEvent.flags). */
enum {
    OMBREL_FRAME_COMPLETE = 1,  /* a whole frame by its length (address and function below) */
    OMBREL_FRAME_CRC_OK = 2,    /* ... and its CRC is right */
    OMBREL_FRAME_EXCEPTION = 4, /* ... and it is an exception answer (code in exception) */
    OMBREL_FRAME_ECHO = 8,      /* the bytes begin with the request itself */
    OMBREL_FRAME_TAKEN = 16,    /* the frame was taken as the answer to the request */
    OMBREL_FRAME_OTHER_TRANSACTION = 32 /* Modbus TCP: the frame answers another transaction */
};

/* The link of an event (OmbrelTraceEvent.link). */
enum {
    OMBREL_LINK_SERIAL = 0,       /* a serial line */
    OMBREL_LINK_RTU_OVER_TCP = 1, /* RTU frames over a TCP connection (rtu+tcp://) */
    OMBREL_LINK_MODBUS_TCP = 2    /* Modbus TCP (tcp://) */
};

typedef struct OmbrelTraceEvent {
    int32_t size;      /* sizeof(OmbrelTraceEvent) of the library: later fields come at the end */
    int32_t kind;      /* OMBREL_TRACE_* */
    int64_t timeUs;    /* system time of the event, microseconds since 1970-01-01 UTC */
    int64_t elapsedUs; /* answer and late bytes: from the request they answer (the try the library
                          matched them to) to their last byte; silence: the time waited; 0 for a
                          request */
    const uint8_t* bytes; /* the frame sent or the bytes received (at most their first 512:
                             see omitted) */
    int32_t length;
    int32_t flags;     /* OMBREL_FRAME_* (received bytes) */
    int32_t address;   /* request: the device addressed; received: the frame's address, or -1 */
    int32_t function;  /* request: the function; received: the frame's function (exception bit
                          cleared), or -1 */
    int32_t exception; /* the exception code of an exception answer, else 0 */
    int32_t attempt;   /* 0 for the first try of an exchange, n for its n-th retry */
    int32_t answerMs;  /* the answer time of the try */
    int32_t offset;  /* received: bytes before the frame (and after an echo) that belong to none */
    int32_t baud;    /* the line's speed; 0 where the link has none (a network endpoint) */
    int64_t omitted; /* received: bytes that came after those given and are not handed over (a
                        stretch is cut to its first 512 bytes, so a flood costs no memory) */
    int32_t link;    /* OMBREL_LINK_* */

    /* Later fields, of runs with requests in flight (ReadRecords): */
    int32_t window;   /* requests the library may keep in flight at the event (1 outside
                         ReadRecords) */
    int32_t inFlight; /* requests sent and not yet answered or given up, right after the event */
    int32_t item;     /* ReadRecords: the position in aRequests of the record the event belongs to;
                         -1 for other calls and for bytes of no request of the run */
} OmbrelTraceEvent;

typedef void (*OmbrelTraceObserver)(const OmbrelTraceEvent* aEvent, void* aUser);

OMBREL_EXPORT int32_t SetTraceObserver(OmbrelTraceObserver aObserver, void* aUser);

/* Extra export: whether an exchange that failed or took more than one try listens out the
 * answers still due before it returns (aOn 1, the default), or returns at once (aOn 0). A
 * program that asks each address once and never takes a frame of another address for its
 * answer (a search for an instrument) may turn it off; a reading never should. Returns 0. */
OMBREL_EXPORT int32_t SetListenOut(int32_t aOn);

/* Extra export: reads a run of journal records (function 65), on a tcp:// endpoint with up to a
 * window of requests in flight. aRequests holds aCount (0 to 65536) requests of 7 bytes each,
 * back to back, as AnyFunction takes them. The result of each record goes to aSink in the order
 * of aRequests: aItem its position, aResult its result code, aReply (on 0) the 256-byte buffer
 * AnyFunction would leave, zeroed on a failure (valid during the call). aSink returns non-zero to
 * go on, 0 to stop. It runs on the calling thread with the library's lock held: it must not call
 * into the library.
 *
 * Answers are matched to their requests by the transaction id; each request has the tries of
 * Retries, and its answer time counts from its sending or from when the request sent before it
 * was answered or given up, whichever is later (a gateway that queues requests plays them onto
 * its serial line one after another). An answer to a try already given up is dropped. A gateway
 * that serves one request at a time (it leaves requests unanswered that arrive while it is busy,
 * or closes the connection on a second request) makes the run fall back to one request at a
 * time, whatever the window: the records not yet answered are asked again that way. rtu+tcp://
 * endpoints and serial lines take one request at a time (a serial bus cannot take frames back to
 * back, and RTU frames carry no transaction id), as AnyFunction does.
 *
 * Returns 0 when every record was handed to aSink or the run was stopped, 11 for an address
 * outside 1..247 and 5 for a bad argument (nothing is sent then). */

/* OmbrelRecordRun.window: 1..16 requests in flight, or: */
enum { OMBREL_WINDOW_AUTO = 0, OMBREL_WINDOW_MAX = 16 };

/* OmbrelRecordRun.fallback */
enum { OMBREL_FALLBACK_NONE = 0, OMBREL_FALLBACK_UNANSWERED = 1, OMBREL_FALLBACK_CLOSED = 2 };

typedef struct OmbrelRecordRun {
    int32_t size;          /* in: sizeof(OmbrelRecordRun) of the caller */
    int32_t window;        /* in: 1..16, or OMBREL_WINDOW_AUTO: starts at startWindow and doubles
                              after max(4, window) answers in a row that came whole on their first
                              try */
    int32_t startWindow;   /* in, OMBREL_WINDOW_AUTO: the window to begin with, 1..16 (0: 1) */
    int32_t stop;          /* in: set to non-zero with an atomic store, from any thread, to stop:
                              no further request is sent and the call returns within about 50 ms */
    int32_t windowReached; /* out: the window the run ended with (to begin the endpoint's next
                              run with); 1 after a fallback and on a one-request line */
    int32_t fallback;      /* out: OMBREL_FALLBACK_* */
    int32_t delivered;     /* out: results handed to aSink */
} OmbrelRecordRun;

typedef int32_t (*OmbrelRecordSink)(int32_t aItem, int32_t aResult, const uint8_t* aReply,
                                    void* aUser);

OMBREL_EXPORT int32_t ReadRecords(int32_t aDevAddr, const uint8_t* aRequests, int32_t aCount,
                                  OmbrelRecordRun* aRun, OmbrelRecordSink aSink, void* aUser);

#ifdef __cplusplus
}
#endif

#endif
