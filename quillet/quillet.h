// QUILLET.DLL: the logging library the Winsock proxy loads by name. cdecl exports:
//   LogInit(source, line, level, module name, file pattern)  opens the log
//   LogWrite(source, line, level, format, ...)               one line, printf-style
//   LogDump(source, line, level, data, size, dump word)     hex and text columns
//   GetErrStr(code)                                          text for a Winsock error
//   LogShutdown()                                            closes the log
// The pattern's "%logdir%" is QUILLET_LOGDIR, else the folder of QUILLET.DLL;
// "%rotate%" numbers the files, 1 the newest, keeping QUILLET_KEEP of them (5).
// Lines up to level QUILLET_LEVEL (1000) are kept; a file past QUILLET_MAX_BYTES
// (8 MiB) is rotated. Calls never change the caller's last-error code.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

void __cdecl LogInit(const char* source, int line, int level, const char* module_name,
                     const char* pattern);
void __cdecl LogWrite(const char* source, int line, int level, const char* format, ...);
void __cdecl LogDump(const char* source, int line, int level, const void* data, int size,
                     int* dump_word);
const char* __cdecl GetErrStr(int code);
void __cdecl LogShutdown(void);

#ifdef __cplusplus
}
#endif
