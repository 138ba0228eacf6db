/* Loaded into the 32-bit programs that run under the user-mode emulator in the test
 * lane. The emulator treats MAP_FIXED_NOREPLACE as a hint: where the asked range is
 * taken it maps elsewhere instead of failing. Wine reserves its address space with
 * that flag and, given another range, tries again page by page, tens of thousands of
 * times. This wrapper gives the answer the kernel gives: the misplaced mapping is
 * undone and the call fails with EEXIST. Built without any library headers, so that a
 * compiler without 32-bit C libraries can build it. */
#define MAP_FIXED_NOREPLACE_FLAG 0x100000
#define EEXIST_CODE 17
#define RTLD_NEXT_HANDLE ((void*)-1)

typedef unsigned int size_type;
typedef long long offset64;
typedef void* (*MmapFn)(void*, size_type, int, int, int, long);
typedef void* (*Mmap64Fn)(void*, size_type, int, int, int, offset64);
typedef int (*MunmapFn)(void*, size_type);

extern void* dlsym(void* handle, const char* name);
extern int* __errno_location(void);

static void* Checked(void* wanted, void* got, size_type length, int flags) {
    if (!(flags & MAP_FIXED_NOREPLACE_FLAG) || got == (void*)-1 || got == wanted) return got;
    static MunmapFn real_munmap;
    if (!real_munmap) real_munmap = (MunmapFn)dlsym(RTLD_NEXT_HANDLE, "munmap");
    real_munmap(got, length);
    *__errno_location() = EEXIST_CODE;
    return (void*)-1;
}

void* mmap(void* address, size_type length, int protection, int flags, int fd, long offset) {
    static MmapFn real;
    if (!real) real = (MmapFn)dlsym(RTLD_NEXT_HANDLE, "mmap");
    return Checked(address, real(address, length, protection, flags, fd, offset), length, flags);
}

void* mmap64(void* address, size_type length, int protection, int flags, int fd,
             offset64 offset) {
    static Mmap64Fn real;
    if (!real) real = (Mmap64Fn)dlsym(RTLD_NEXT_HANDLE, "mmap64");
    return Checked(address, real(address, length, protection, flags, fd, offset), length, flags);
}
