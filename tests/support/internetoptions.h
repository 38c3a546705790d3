// The current user's Internet Options proxy values in the registry, set for a test and put back as
// they were when the record goes out of scope (Windows only).
#pragma once
#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

struct InternetOptionsProxy {
    struct Saved {
        const wchar_t* name;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Saved> saved;

    static HKEY openKey() {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                        0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
        return key;
    }

    // Sets ProxyEnable, ProxyServer, ProxyOverride and AutoConfigURL (removed when empty).
    InternetOptionsProxy(DWORD enable, const std::wstring& server, const std::wstring& bypass,
                         const std::wstring& autoConfigUrl = L"") {
        HKEY key = openKey();
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"}) {
            Saved s{name, false, 0, {}};
            DWORD size = 0;
            if (RegQueryValueExW(key, name, nullptr, &s.type, nullptr, &size) == ERROR_SUCCESS) {
                s.data.resize(size);
                s.present =
                    RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &size) == ERROR_SUCCESS;
            }
            saved.push_back(s);
        }
        RegSetValueExW(key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                       sizeof enable);
        setText(key, L"ProxyServer", server);
        setText(key, L"ProxyOverride", bypass);
        if (autoConfigUrl.empty()) {
            RegDeleteValueW(key, L"AutoConfigURL");
        } else {
            setText(key, L"AutoConfigURL", autoConfigUrl);
        }
        RegCloseKey(key);
    }
    ~InternetOptionsProxy() {
        HKEY key = openKey();
        for (const Saved& s : saved) {
            if (s.present) {
                RegSetValueExW(key, s.name, 0, s.type, s.data.data(), static_cast<DWORD>(s.data.size()));
            } else {
                RegDeleteValueW(key, s.name);
            }
        }
        RegCloseKey(key);
    }
    static void setText(HKEY key, const wchar_t* name, const std::wstring& text) {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
};
#endif
