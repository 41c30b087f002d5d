#pragma once

class QLabel;
class QWidget;

// The 60 s the box takes to restart after a completed system update or recovery, counted
// down in a label: 61 texts, one per second.
namespace RestartCountdown {

// False when `window` was deleted during the countdown; the caller must then return at once.
bool run(QWidget *window, QLabel *label);

} // namespace RestartCountdown
