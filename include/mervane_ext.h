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

/* The motor setup rules of the setup dialog, for a tool that sets motors up without it (the Python
 * package does). The fields are texts as a user would type them into the dialog; a NULL one keeps
 * `record`'s value (for a new motor, `newMotor`, the dialog's default). Runs the dialog's checks
 * of every field given and at OK, and refuses besides what the dialog would quietly change or
 * the record cannot hold; when all pass, writes the name, address, coefficient, length (in
 * steps), start position, acceleration and step times into `record` as the dialog does at OK
 * (type and flags stay the caller's), and returns true. On a refusal `record` stays as it was and
 * `message` (at most `size` bytes, NUL-terminated) names the field, then the dialog's caption and
 * text: "coefficient\tType error\tCoefficient must be different from zero!". */
typedef struct MervaneSetupTexts {
  const char* name;
  const char* address; /* 1..7, 0 for unplugged */
  const char* coefficient;
  const char* length;
  const char* offset; /* the start position */
  const char* acceleration;
  const char* minStepTime;
  const char* maxStepTime;
} MervaneSetupTexts;
MERVANE_FN(bool, EXT_ApplySetupTexts,
           (const MervaneSetupTexts* texts, bool newMotor, MotorInfo* record, char* message, uint32_t size));

#ifdef __cplusplus
}
#endif
#endif /* MERVANE_EXT_H */
