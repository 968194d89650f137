// The "Motor Stopped" events on their way to the host: any thread hands a stop over without
// waiting or allocating (RaiseMotorStopped, motor/motor.h), and the library's event thread raises
// them in that order, each once, with no lock of the library held, so a handler may call any
// export.
#pragma once

namespace mervane {

// Starts the event thread unless it runs (or timing is manual: then FlushStoppedEvents raises
// them). Called at every successful open, like the tick.
bool StartEventThread();
// Raises what is still waiting, then ends the event thread and waits for it. Call without the
// library-wide lock held: a handler busy on the event thread may be waiting for it. Called from a
// handler itself it only raises what waits; the thread then ends at the next stop or at unload.
void StopEventThread() noexcept;
// Raises every event handed over before this call on the calling thread (after the one being
// raised on the event thread, if any). Manual timing raises events only here. From a handler it
// does nothing.
void FlushStoppedEvents();

}  // namespace mervane
