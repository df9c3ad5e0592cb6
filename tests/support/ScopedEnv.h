// Sets or clears an environment variable for one scope, then puts the old value back.
#pragma once

#include <stdlib.h>
#include <string>

// setenv and unsetenv of POSIX; Windows sets and clears through _putenv_s.
inline void SetEnvVar(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

class ScopedEnv {
public:
    // A null value clears the variable.
    ScopedEnv(const char* name, const char* value) : _name(name) {
        const char* old = getenv(name);
        if (old) _old = old;
        _hadOld = old != nullptr;
        SetEnvVar(name, value);
    }
    ~ScopedEnv() { SetEnvVar(_name.c_str(), _hadOld ? _old.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name, _old;
    bool _hadOld = false;
};
