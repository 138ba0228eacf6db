// A stand-in QUILLET.DLL for tests: it keeps every call in memory; a test reads them
// back through RecordedCount and RecordedCall.
#pragma once

struct RecordedCallInfo {
    char kind[16];  // "init", "write", "dump", "shutdown"
    char source[64];
    int line;
    int level;
    char text[1024];  // the formatted line; for init the module name and pattern
};

typedef int(__cdecl* RecordedCountFn)(void);
typedef int(__cdecl* RecordedCallFn)(int index, RecordedCallInfo* out);
