// The 1 ms real-time tick: one time stamp, every channel of every connected box steps, and each
// box's queued bytes go out in one driver write. It allocates nothing and never waits.
#pragma once

namespace mervane {

// Starts the periodic 1 ms timer unless it runs (or timing is manual). Library lock held.
bool StartTickTimer();
// Stops it and waits for a running tick to finish. Library lock held.
void StopTickTimer();
bool TickTimerRunning();
// Whether anything drives the tick: the timer runs, or (manual timing) the caller does.
bool TickDriven();
// One tick at time `now` (seconds on the monotonic clock). Whether anything may still move:
// a running channel, a batch being started, or a device left for the next tick.
bool Tick(double now);
// Lets a resting timer tick again; called whenever a move starts. Control thread.
void WakeTickTimer();

}  // namespace mervane
