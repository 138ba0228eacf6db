// Reads one registry string named by a path "ROOT\subkey\value".
#include <cstring>

#include "wsock32/wsock32.h"

namespace ozlan::proxy {
namespace {

struct RootName {
    const char* name;
    const char* short_name;
    HKEY key;
};
const RootName kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_USERS", "HKU", HKEY_USERS},
    {"HKEY_DYN_DATA", "HKDD", HKEY_DYN_DATA},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG},
};

// Copies [from, to) into a buffer of `size` bytes; false when it does not fit.
bool CopyPart(char* out, size_t size, const char* from, const char* to) {
    size_t n = size_t(to - from);
    if (n >= size) return false;
    std::memcpy(out, from, n);
    out[n] = 0;
    return true;
}

#define REGISTRY_LOG(...) LogWriteGuard(kSourceRegistry, __LINE__, kTrace, __VA_ARGS__)

}  // namespace

int LookupRegistryString(const char* path, char* out) {
    REGISTRY_LOG("Looking up '%s' in the registry", path);
    const char* first = std::strchr(path, '\\');
    if (!first) return 0;
    const char* last = std::strrchr(path, '\\');
    char root[32], subkey[128], value[80];
    // Parts that do not fit their buffers name nothing that can be read.
    if (!CopyPart(root, sizeof root, path, first) ||
        !CopyPart(value, sizeof value, last + 1, last + 1 + std::strlen(last + 1)) ||
        !CopyPart(subkey, sizeof subkey, first == last ? first : first + 1, last)) {
        return 0;
    }
    HKEY predefined = nullptr;
    for (const RootName& r : kRoots) {
        if (std::strcmp(root, r.name) == 0 || std::strcmp(root, r.short_name) == 0) {
            predefined = r.key;
            break;
        }
    }
    if (!predefined) return 0;
    HKEY key;
    if (RegOpenKeyExA(predefined, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        REGISTRY_LOG("unable to open the hKey");
        return 0;
    }
    DWORD type = 0, size = 0;
    int found = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        REGISTRY_LOG("failed");
    } else if (type != REG_SZ) {
        REGISTRY_LOG("registry value was not a string");
    } else {
        size = kPathSize;
        if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) ==
                ERROR_SUCCESS &&
            size > 0) {
            out[kPathSize - 1] = 0;
            REGISTRY_LOG(" and we found '%s'", out);
            found = 1;
        } else {
            REGISTRY_LOG("failed2");
        }
    }
    RegCloseKey(key);
    return found;
}

}  // namespace ozlan::proxy
