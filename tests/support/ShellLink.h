// Windows shell links (.lnk files) as the tests read them back: through COM, as the shell does.
#pragma once
#ifdef _WIN32

#include "base/Platform.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <string>
#include <windows.h>

// The target path stored in a shell link; empty when it does not load as one.
inline std::string ShellLinkTarget(const std::string& linkPath) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[MAX_PATH] = L"";
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(ZipSync::WindowsPath(linkPath).c_str(), STGM_READ)))
        link->GetPath(target, MAX_PATH, nullptr, 0);
    if (file) file->Release();
    if (link) link->Release();
    CoUninitialize();
    return ZipSync::Utf8Text(target);
}

#endif
