#pragma once

class QProgressBar;
class QWidget;

// The busy sweep of a window's progress bar during stages without a percentage:
// 0, 5, ..., 100, 0, ... one step each 100 ms until the window's stop flag is set.
class BusyAnimation
{
public:
    struct Flags
    {
        int *cycleValue;      // survives from one animation to the next
        const bool *cycleStop;
        const bool *succeeded; // at the stop: 100 with its text, otherwise 60 without
    };

    // Runs until stopped or until the window is hidden or deleted. The flags belong to
    // `window` and are not touched once it is gone.
    static void run(QWidget *window, QProgressBar *bar, Flags flags);
};
