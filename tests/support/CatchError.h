// Running engine code that is expected to fail, and looking at how it failed.
#pragma once

#include "Logging.h"

#include <string>
#include <utility>

// What an ErrorException carried, or thrown == false when the call returned normally.
struct CaughtError {
    bool thrown = false;
    ZipSync::LogCode code = ZipSync::lcNone;
    std::string message;
};

template <class Func> CaughtError CatchError(Func&& func) {
    CaughtError res;
    try {
        std::forward<Func>(func)();
    } catch (const ZipSync::ErrorException& e) {
        res.thrown = true;
        res.code = e.code;
        res.message = e.what();
    }
    return res;
}

// Whether an assertion failure message names the given condition.
inline bool IsAssertionOf(const CaughtError& error, const std::string& condition) {
    return error.thrown && error.message.rfind("Assertion " + condition + " failed in ", 0) == 0;
}
