// SPDX-License-Identifier: MIT
/* A stand-in for the access library: the nine entry points with fixed, recognisable answers.
 * Built three times: complete, with FAKE_OMBREL_PARTIAL without the entry points from
 * "ReadInputRegister" on, and with FAKE_OMBREL_DETAIL adding "LastErrorText". */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static int32_t g_port = -1;
static int32_t g_speed = -1;
static int32_t g_type = -1;
#ifndef FAKE_OMBREL_PARTIAL
static int32_t g_retries = -1;
#endif

EXPORT int32_t Connect(int32_t aPort, int32_t aSpeed, int32_t aType) {
    g_port = aPort;
    g_speed = aSpeed;
    g_type = aType;
    return aPort == 99 ? 0 : 1;
}

EXPORT int32_t Disconnect(void) {
    g_port = -1;
    return 0;
}

/* The name reports the last connection: "P<port> S<speed> T<type> A<addr>"; address 42 fails
 * with code 1. */
EXPORT int32_t GetDevName(int32_t aDevAddr, uint8_t* aP, int32_t aSize) {
    char text[64];
    int n = 0;
    if (aDevAddr == 42)
        return 1;
    n = snprintf(text, sizeof text, "P%d S%d T%d A%d", g_port, g_speed, g_type, aDevAddr);
    if (n > aSize)
        n = aSize;
    aP[0] = (uint8_t)n;
    memcpy(aP + 1, text, (size_t)n);
    return 0;
}

EXPORT int32_t Test(int32_t aDevAddr) {
    return aDevAddr == 0 ? 1 : 0;
}

#ifndef FAKE_OMBREL_PARTIAL
EXPORT int32_t ReadInputRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount, int32_t aType,
                                 uint8_t* aP) {
    (void)aDevAddr;
    (void)aCount;
    (void)aType;
    aP[0] = (uint8_t)(aRegAddr & 0xFF);
    aP[1] = (uint8_t)(aRegAddr >> 8);
    return 0;
}

EXPORT int32_t ReadHoldingRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aCount,
                                   int32_t aType, uint8_t* aP) {
    (void)aDevAddr;
    (void)aRegAddr;
    (void)aCount;
    (void)aType;
    (void)aP;
    return 42;
}

EXPORT int32_t WriteRegister(int32_t aDevAddr, int32_t aRegAddr, int32_t aValue) {
    (void)aDevAddr;
    (void)aRegAddr;
    (void)aValue;
    return 0;
}

EXPORT int32_t AnyFunction(int32_t aDevAddr, int32_t aFunNumber, int32_t aSize, uint8_t* aP) {
    (void)aDevAddr;
    aP[0] = (uint8_t)aFunNumber;
    aP[1] = (uint8_t)aSize;
    aP[2] = (uint8_t)g_retries;
    return 0;
}

EXPORT int32_t Retries(int32_t aRetries) {
    g_retries = aRetries;
    return 0;
}
#endif

#ifdef FAKE_OMBREL_DETAIL
/* The reason of the last refused Connect, "port <n> refused", shortened like the real one. */
EXPORT int32_t LastErrorText(char* aBuf, int32_t aSize) {
    char text[64] = "";
    int n = 0;
    if (g_port == 99)
        n = snprintf(text, sizeof text, "port %d refused", g_port);
    if (aBuf && aSize > 0) {
        int c = n < aSize - 1 ? n : aSize - 1;
        memcpy(aBuf, text, (size_t)c);
        aBuf[c] = 0;
    }
    return n;
}
#endif
