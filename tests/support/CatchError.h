// Running engine code that is expected to fail, and looking at how it failed.
#pragma once

#include "base/Logging.h"

#include <functional>
#include <gtest/gtest.h>
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

// Fails the current test unless fn raises an ErrorException with exactly this code and message.
inline void ExpectError(const std::function<void()>& fn, ZipSync::LogCode code, const std::string& message) {
    CaughtError error = CatchError(fn);
    if (!error.thrown) {
        ADD_FAILURE() << "no exception, expected: " << message;
        return;
    }
    EXPECT_EQ(error.code, code) << error.message;
    EXPECT_EQ(error.message, message);
}

// Fails the current test unless fn raises the assertion failure of the given condition.
inline void ExpectAssertion(const std::function<void()>& fn, const std::string& condition) {
    CaughtError error = CatchError(fn);
    if (!error.thrown) {
        ADD_FAILURE() << "no exception, expected assertion " << condition;
        return;
    }
    EXPECT_EQ(error.code, ZipSync::lcGeneral);
    EXPECT_TRUE(IsAssertionOf(error, condition)) << error.message;
}
