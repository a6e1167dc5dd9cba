// SPDX-License-Identifier: ISC
// The part of SVR4's <stropts.h> that the STREAMS form of the interface
// request uses, for the test-only stand-in in ioctl.cpp: Linux has none.
#ifndef LANPICK_TESTS_STREAMS_STROPTS_H
#define LANPICK_TESTS_STREAMS_STROPTS_H

#define I_STR (('S' << 8) | 010) // 0x5308, as on SVR4

struct strioctl {
    int ic_cmd;    // the request carried
    int ic_timout; // seconds to wait; 0, the default
    int ic_len;    // bytes offered, and bytes returned
    char *ic_dp;   // the data
};

#endif
