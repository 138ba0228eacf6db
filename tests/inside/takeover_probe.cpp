// A DLL the takeover tests load after the takeover: it imports ntohs from ws2_32.dll by
// ordinal only (through an import library of its own) and htonl by name.
#include <winsock2.h>

extern "C" __declspec(dllexport) unsigned ProbeNtohs(unsigned short value) {
    return ntohs(value);
}

extern "C" __declspec(dllexport) unsigned long ProbeHtonl(unsigned long value) {
    return htonl(value);
}
