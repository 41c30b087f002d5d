#pragma once

#include "devicelist.h"
#include "endpoints.h"

class QTextStream;

// The device search of the command line: binds the search port, sends the request, collects
// replies for a while and prints the devices found. No window, no display.
class DeviceLister
{
public:
    enum ExitCode { Found = 0, NoneFound = 1, CannotBind = 2 };

    explicit DeviceLister(const Endpoints &endpoints = Endpoints());

    // Searches for `waitMs` milliseconds, prints the list to `out` in `format` and returns the
    // exit code; why the search could not run goes to `err`.
    int run(int waitMs, DeviceList::Format format, QTextStream &out, QTextStream &err);

private:
    Endpoints m_endpoints;
};
