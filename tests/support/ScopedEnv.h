// Sets or clears an environment variable for one scope, then puts the old value back.
#pragma once

#include <stdlib.h>
#include <string>

class ScopedEnv {
public:
    // A null value clears the variable.
    ScopedEnv(const char* name, const char* value) : _name(name) {
        const char* old = getenv(name);
        if (old) _old = old;
        _hadOld = old != nullptr;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (_hadOld)
            setenv(_name.c_str(), _old.c_str(), 1);
        else
            unsetenv(_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name, _old;
    bool _hadOld = false;
};
