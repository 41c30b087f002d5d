#pragma once

// Every timed wait of the tool: a local event loop that a single-shot timer ends, so events
// (repaints, clicks, MQTT reports, queued slot calls) keep flowing while it waits.
namespace LocalWait {

void wait(int ms);
// A blocking pause on the calling thread; the event loop does not run.
void sleep(int ms);
// The length the tool actually uses for a nominal duration, also for its timers.
int scaled(int ms);

// Test-only: run every wait and timer at `scale` times its nominal length.
void setTimeScaleForTests(double scale);
double timeScale();

} // namespace LocalWait
