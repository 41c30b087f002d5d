#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// A finding: says what went wrong and aborts, so that the fuzzer keeps the input.
[[noreturn]] inline void fuzzFail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "%s %s\n", what, qPrintable(detail));
    std::abort();
}

inline void fuzzCheck(bool ok, const char *what, const QString &detail = QString())
{
    if (!ok)
        fuzzFail(what, detail);
}

// The application every input of a fuzzer runs in, made once from LLVMFuzzerInitialize.
template<typename App>
App *fuzzApp()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    return new App(argc, argv);
}
