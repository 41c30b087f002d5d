#pragma once

// Operators' laptops run at 150 % or 200 %: every window scales as a whole and keeps its layout
// in logical pixels, fractional factors passed through. Call before the application object.
namespace HighDpi {

void enable();

} // namespace HighDpi
