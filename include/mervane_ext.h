/* mervane extensions: functions of libmervane.so beyond the host interface of mervane.h, for tools
 * that want to see how the 1 ms tick keeps time. Same conventions as mervane.h (which this header
 * includes): exported as _EXT_..., bound to the plain names here, never throwing, false for a bad
 * device index or a null pointer.
 *
 * Timing counters. The tick counts, for the timer as a whole and for every box:
 *   ticks           ticks run (for a box: ticks that stepped its motors)
 *   skippedPeriods  1 ms periods that got no tick: the timer overslept them (a host stall), or,
 *                   for a box, the library held the box while the tick came by. Motion loses no
 *                   step through them: steps that fell due go out at the next tick.
 *   lateTicks       ticks that began more than half a period after their 1 ms grid point; their
 *                   steps are timed from when they really went out, so no interval at the motor
 *                   comes out shorter than the ramp law minus half a period
 *   worstLateness   seconds, the latest any counted tick began after its grid point
 *   failedWrites    writes to the box (for the timer: to any box) whose driver status was an error
 *   steps           steps that reached the box in writes that succeeded
 * The counters start at 0 when the library loads and run until reset; a box's counters survive
 * its reconnects. Reading and resetting never holds up the tick. While the tick timer rests (no
 * motor running) nothing is counted: resting periods are not skipped ones. */
#ifndef MERVANE_EXT_H
#define MERVANE_EXT_H

#include "mervane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MervaneTickCounters {
  uint64_t ticks;
  uint64_t skippedPeriods;
  uint64_t lateTicks;
  uint64_t failedWrites;
  uint64_t steps;
  double worstLateness; /* seconds */
} MervaneTickCounters;
MERVANE_STATIC_ASSERT(sizeof(MervaneTickCounters) == 48 && offsetof(MervaneTickCounters, worstLateness) == 40,
                      "MervaneTickCounters: five 64-bit counts, then the lateness");

/* The timer's counters (all boxes together). */
MERVANE_FN(bool, EXT_GetTimerCounters, (MervaneTickCounters* counters));
/* The counters of the box at list position `index`. */
MERVANE_FN(bool, EXT_GetDeviceCounters, (unsigned index, MervaneTickCounters* counters));
/* Back to zero: the timer's counters, or one box's. */
MERVANE_FN(void, EXT_ResetTimerCounters, (void));
MERVANE_FN(bool, EXT_ResetDeviceCounters, (unsigned index));

#ifdef __cplusplus
}
#endif
#endif /* MERVANE_EXT_H */
