/*
 * OmbrelDll.so - Modbus RTU access library of the journal reader.
 *
 * Nine functions with C linkage, 32-bit integer arguments and results. One connection at a time;
 * every call blocks until its exchange has finished (answer, error or timeout).
 *
 * Result codes of the integer functions (the program's common table):
 *   0  success                         8  device busy (exception 6)
 *   1  no answer                       9  function cannot be executed (exception 4)
 *   2  CRC error                      12  illegal data address (exception 2)
 *   3  port closed or gone             16  reply of the wrong length / too long for the buffer
 *   4  illegal function (exception 1)
 *   5  illegal data value (exception 3)
 *   7  acknowledge, long operation started (exception 5)
 *
 * Function 65 (the instrument's journal protocol):
 *   request PDU: 0x41 followed by the aSize (7) request bytes the caller put at the start of aP;
 *   reply PDU:   0x41, byte count N (0 to 251), N data bytes;
 *   exception:   0xC1, exception code.
 *   On success the reply PDU is written into the caller's 256-byte buffer from byte 0: byte 0 the
 *   function code, byte 1 the byte count, bytes 2 to N+1 the data, the rest zeroed.
 */
#ifndef OMBRELDLL_H
#define OMBRELDLL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Link types of Connect's aType. */
enum { OMBREL_LINK_RS232 = 0, OMBREL_LINK_RS485 = 1 };

/* Opens COM<aPort> (resolved through the program's port list: system ports, main.ini [Ports],
 * JOURNAL_PORTS) at aSpeed baud, 8 data bits, no parity, 1 stop bit. aType 1 turns on the
 * kernel's RS-485 mode where the driver supports it. Closes a previous connection first.
 * Returns 1 when the port is open, 0 otherwise. */
int32_t Connect(int32_t aPort, int32_t aSpeed, int32_t aType);

/* Closes the port. Returns 0. */
int32_t Disconnect(void);

/* Function 17 (report server ID). aP: buffer of aSize + 1 bytes; on success byte 0 holds the
 * name's length (at most aSize), then the name's bytes. */
int32_t GetDevName(int32_t aDevAddr, uint8_t* aP, int32_t aSize);

/* Function 8, sub-function 0 (echo). */
int32_t Test(int32_t aDevAddr);

/* Functions 4 and 3. Reads aCount registers from the zero-based address aRegAddr into aP
 * (252 bytes). aType is a data type code: 18/2 (16-bit) stores each register least
 * significant byte first; 19/3/4 (32-bit) take two registers, the first the high word, and store
 * the 32-bit value least significant byte first. Any other code is treated like 18. */
int32_t ReadInputRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount, int32_t aType,
                          uint8_t* aP);
int32_t ReadHoldingRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount, int32_t aType,
                            uint8_t* aP);

/* Function 6. */
int32_t WriteRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aValue);

/* Any function with aSize request data bytes taken from aP (256 bytes); the reply PDU replaces
 * them as described above for function 65. */
int32_t AnyFunction(int32_t aDevAddr, int32_t aFunNumber, int32_t aSize, uint8_t* aP);

/* How often an unanswered or corrupted request is sent again (0 = once only). Returns 0. */
int32_t Retries(int32_t aRetries);

#ifdef __cplusplus
}
#endif

#endif
