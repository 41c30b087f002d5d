#pragma once

class QProgressBar;
class QWidget;

// The busy sweep of a window's progress bar during stages without a percentage:
// 0, 5, ..., 100, 0, ... one step each 100 ms until the window sets `cycleStop`.
namespace BusyAnimation {

// Owned by the window and handed to run(); the position survives from one sweep to the next.
struct State
{
    int cycleValue = 0;
    bool cycleStop = false;
    bool cycleStarted = false;
    bool succeeded = false; // at the stop: 100 with its text, otherwise 60 without
};

// Runs until stopped or until the window is hidden or deleted. `state` belongs to `window`
// and is not touched once the window is gone.
void run(QWidget *window, QProgressBar *bar, State &state);

} // namespace BusyAnimation
