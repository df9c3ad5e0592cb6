// The part of the operating-system layer both platforms share (OsUtils.cpp): the rules of the
// system's proxy settings, as Windows keeps them, for one URL; and which proxy decides.
#include "OsUtils.h"
#include "ScopedEnv.h"

#include <gtest/gtest.h>

TEST(OsUtils, ProxyOfAUrlUnderTheSystemSettings) {
    struct Case {
        const char* servers;
        const char* bypass;
        const char* url;
        const char* proxy;
    } cases[] = {
        // One server for every scheme; a missing port is 80.
        {"proxy.example:3128", "", "http://mirror.example/a.pk4", "http://proxy.example:3128"},
        {"proxy.example", "", "https://update.example/zipsync/x", "http://proxy.example:80"},
        // A server per scheme, the scheme's own first; a scheme without one goes direct.
        {"http=hp:81; https=sp:8443", "", "https://update.example/", "http://sp:8443"},
        {"ftp=fp:21 http=hp:81", "", "HTTP://Mirror.Example/", "http://hp:81"},
        {"http=hp:81", "", "https://update.example/", ""},
        {"all:3128;http=hp:81", "", "https://update.example/", "http://all:3128"},
        {"socks=sk", "", "https://update.example/", "socks4://sk:1080"},
        {"http=http://hp:81", "", "http://mirror.example/", "http://hp:81"},
        {"", "", "http://mirror.example/", ""},
        // Patterns with '*', without regard to case, against host, host:port and the scheme.
        {"p:1", "*.example.com;<local>;10.0.*", "http://www.Example.com/a", ""},
        {"p:1", "*.example.com;<local>;10.0.*", "http://example.com/a", "http://p:1"},
        {"p:1", "*.example.com;<local>;10.0.*", "http://fileserver:8080/a", ""},
        {"p:1", "*.example.com;<local>;10.0.*", "https://user@10.0.3.4/a", ""},
        {"p:1", "mirror.example:8080", "http://mirror.example:8080/a", ""},
        {"p:1", "mirror.example:8080", "http://mirror.example/a", "http://p:1"},
        {"p:1", "mirror.example:80", "http://mirror.example/a", ""},
        {"p:1", "https://*", "https://update.example/", ""},
        {"p:1", "https://*", "http://mirror.example/", "http://p:1"},
        {"p:1", "[2001:db8::1]", "http://[2001:db8::1]:8080/", ""},
        // Loopback goes direct unless "<-loopback>" says otherwise.
        {"p:1", "", "http://127.0.0.1:8080/a", ""},
        {"p:1", "", "http://localhost/a", ""},
        {"p:1", "", "http://[::1]/a", ""},
        {"p:1", "<-loopback>", "https://127.0.0.1:8443/a", "http://p:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.servers) + " | " + c.bypass + " | " + c.url);
        EXPECT_EQ(ProxyForUrl(SystemProxySettings{c.servers, c.bypass}, c.url), c.proxy);
    }
}

// A proxy variable of the environment wins over the system's settings: no lookup then, and curl
// reads the variables itself.
TEST(OsUtils, ProxyVariableOfTheEnvironmentWins) {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy"}) {
        SCOPED_TRACE(name);
        ScopedEnv variable(name, "http://proxy.example:3128");
        EXPECT_FALSE(SystemProxyLookup());
    }
}
