/* Allocation-failure injection for the module's own native allocations.
 *
 * Preloaded into a test interpreter (LD_PRELOAD), this replaces malloc,
 * calloc, realloc, the aligned allocators, free and every operator new. An
 * allocation counts when it is made on behalf of _tarnik_core: its caller,
 * after frames inside the C and C++ runtimes and this file, lies in the
 * module. Allocations the interpreter makes while the module calls it
 * (PyList_New ...) do not count. The exception object a failing operator new
 * throws is the module's too: should it fail, libstdc++ takes it from its
 * emergency pool.
 *
 * Controlled from the test through ctypes.CDLL(None):
 *   failalloc_enable(path)      start tracking; `path` is the module's file
 *   failalloc_arm(n, all)       count from zero; fail the n-th counted
 *                               allocation (n = 0: never), or, with `all`,
 *                               that one and every later one
 *   failalloc_disarm()          stop failing; counting goes on
 *   failalloc_counted()         counted allocations since the last arm
 *   failalloc_failed()          of these, how many were made to fail
 *   failalloc_live()            module allocations not freed yet (made
 *                               since enable); -1 if the table overflowed
 *
 * Build: gcc -shared -fPIC -O2 -fexceptions failalloc.c -o failalloc.so -ldl
 * (-fexceptions: a failing operator new throws through its own frame).
 * glibc only: the real allocator is reached through __libc_malloc and kin.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void __libc_free(void *);

#define EXPORT __attribute__((visibility("default")))

/* Set while this file is itself busy (backtrace allocates on first use). */
static __thread int busy __attribute__((tls_model("initial-exec")));

struct range {
    uintptr_t lo, hi;
};
#define MAX_RANGES 32
static struct range module_ranges[MAX_RANGES], runtime_ranges[MAX_RANGES];
static int n_module, n_runtime;

static volatile int enabled;
static long long counted, failed, fail_at; /* fail_at 0: never */
static int fail_all;
typedef void (*thrower)(void) __attribute__((noreturn));
static thrower throw_bad_alloc;

/* Live module allocations: open addressing, linear probing. */
#define TABLE_BITS 18
#define TABLE_SIZE (1u << TABLE_BITS)
static void *table[TABLE_SIZE];
static long long live;
static int overflowed;
static int table_lock;

static void lock(void) {
    while (__atomic_exchange_n(&table_lock, 1, __ATOMIC_ACQUIRE)) {
    }
}
static void unlock(void) { __atomic_store_n(&table_lock, 0, __ATOMIC_RELEASE); }

static size_t slot_of(void *p) { return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ull >> (64 - TABLE_BITS)); }

static void remember(void *p) {
    lock();
    if (live >= (long long)(TABLE_SIZE / 2)) {
        overflowed = 1;
    } else {
        size_t i = slot_of(p);
        while (table[i]) i = (i + 1) & (TABLE_SIZE - 1);
        table[i] = p;
        ++live;
    }
    unlock();
}

static void forget(void *p) {
    if (!live) return;
    lock();
    size_t i = slot_of(p);
    while (table[i] && table[i] != p) i = (i + 1) & (TABLE_SIZE - 1);
    if (table[i]) {
        /* Backward-shift deletion keeps every probe sequence unbroken. */
        size_t hole = i;
        for (size_t j = (i + 1) & (TABLE_SIZE - 1); table[j]; j = (j + 1) & (TABLE_SIZE - 1)) {
            size_t home = slot_of(table[j]);
            if (((j - home) & (TABLE_SIZE - 1)) >= ((j - hole) & (TABLE_SIZE - 1))) {
                table[hole] = table[j];
                hole = j;
            }
        }
        table[hole] = NULL;
        --live;
    }
    unlock();
}

static int in_ranges(const struct range *r, int n, uintptr_t a) {
    for (int i = 0; i < n; ++i)
        if (a >= r[i].lo && a < r[i].hi) return 1;
    return 0;
}

/* Is the allocation whose immediate caller returns to `ret` made on behalf
 * of the module? A caller inside a runtime library (std::string in
 * libstdc++, __cxa_allocate_exception, a libc routine) is looked through. */
static int on_behalf_of_module(void *ret) {
    uintptr_t a = (uintptr_t)ret;
    if (in_ranges(module_ranges, n_module, a)) return 1;
    if (!in_ranges(runtime_ranges, n_runtime, a)) return 0;
    void *frames[64];
    busy = 1;
    int n = backtrace(frames, 64);
    busy = 0;
    for (int i = 0; i < n; ++i) {
        a = (uintptr_t)frames[i];
        if (!in_ranges(runtime_ranges, n_runtime, a)) return in_ranges(module_ranges, n_module, a);
    }
    return 0;
}

enum { PASS, COUNTED, FAIL };

static int decide(void *ret) {
    if (!enabled || busy || !on_behalf_of_module(ret)) return PASS;
    long long k = __atomic_add_fetch(&counted, 1, __ATOMIC_RELAXED);
    if (fail_at && (k == fail_at || (fail_all && k > fail_at))) {
        __atomic_add_fetch(&failed, 1, __ATOMIC_RELAXED);
        return FAIL;
    }
    return COUNTED;
}

static void *track(int how, void *p) {
    if (how == COUNTED && p) remember(p);
    return p;
}

/* -- the C allocator -------------------------------------------------------- */

EXPORT void *malloc(size_t n) {
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) {
        errno = ENOMEM;
        return NULL;
    }
    return track(how, __libc_malloc(n));
}

EXPORT void *calloc(size_t n, size_t size) {
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) {
        errno = ENOMEM;
        return NULL;
    }
    return track(how, __libc_calloc(n, size));
}

EXPORT void *realloc(void *old, size_t n) {
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) {
        errno = ENOMEM;
        return NULL;
    }
    void *p = __libc_realloc(old, n);
    if (old && (p || n == 0)) forget(old);
    return track(how, p);
}

EXPORT void free(void *p) {
    if (p && enabled) forget(p);
    __libc_free(p);
}

EXPORT void *memalign(size_t align, size_t n) {
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) {
        errno = ENOMEM;
        return NULL;
    }
    return track(how, __libc_memalign(align, n));
}

EXPORT void *aligned_alloc(size_t align, size_t n) {
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) {
        errno = ENOMEM;
        return NULL;
    }
    return track(how, __libc_memalign(align, n));
}

EXPORT int posix_memalign(void **out, size_t align, size_t n) {
    if (align < sizeof(void *) || (align & (align - 1))) return EINVAL;
    int how = decide(__builtin_return_address(0));
    if (how == FAIL) return ENOMEM;
    void *p = track(how, __libc_memalign(align, n));
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

/* -- operator new ------------------------------------------------------------ */

static void *new_impl(size_t n, size_t align, int nothrow, void *ret) {
    int how = decide(ret);
    void *p = NULL;
    if (how != FAIL) {
        if (n == 0) n = 1;
        p = align > 16 ? __libc_memalign(align, n) : __libc_malloc(n);
        track(how, p);
    }
    if (!p && !nothrow) {
        if (!throw_bad_alloc) {
            fputs("failalloc: operator new failed before tracking was enabled\n", stderr);
            abort();
        }
        throw_bad_alloc();
    }
    return p;
}

#define RET __builtin_return_address(0)
/* operator new(size_t), new[](size_t), and their nothrow and align_val_t forms. */
EXPORT void *_Znwm(size_t n) { return new_impl(n, 0, 0, RET); }
EXPORT void *_Znam(size_t n) { return new_impl(n, 0, 0, RET); }
EXPORT void *_ZnwmRKSt9nothrow_t(size_t n, const void *t) { (void)t; return new_impl(n, 0, 1, RET); }
EXPORT void *_ZnamRKSt9nothrow_t(size_t n, const void *t) { (void)t; return new_impl(n, 0, 1, RET); }
EXPORT void *_ZnwmSt11align_val_t(size_t n, size_t a) { return new_impl(n, a, 0, RET); }
EXPORT void *_ZnamSt11align_val_t(size_t n, size_t a) { return new_impl(n, a, 0, RET); }
EXPORT void *_ZnwmSt11align_val_tRKSt9nothrow_t(size_t n, size_t a, const void *t) { (void)t; return new_impl(n, a, 1, RET); }
EXPORT void *_ZnamSt11align_val_tRKSt9nothrow_t(size_t n, size_t a, const void *t) { (void)t; return new_impl(n, a, 1, RET); }

/* -- control ------------------------------------------------------------------- */

struct scan {
    const char *module;
    uintptr_t self_base;
};

static void add_exec_segments(struct dl_phdr_info *info, struct range *r, int *n) {
    for (int i = 0; i < info->dlpi_phnum && *n < MAX_RANGES; ++i) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD || !(ph->p_flags & PF_X)) continue;
        r[*n].lo = info->dlpi_addr + ph->p_vaddr;
        r[*n].hi = r[*n].lo + ph->p_memsz;
        ++*n;
    }
}

static int scan_object(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    const struct scan *s = data;
    const char *name = info->dlpi_name ? info->dlpi_name : "";
    const char *base = strrchr(name, '/');
    base = base ? base + 1 : name;
    if (strcmp(name, s->module) == 0) {
        add_exec_segments(info, module_ranges, &n_module);
    } else if (info->dlpi_addr == s->self_base || strncmp(base, "libstdc++.so", 12) == 0 ||
               strncmp(base, "libgcc_s.so", 11) == 0 || strncmp(base, "libc.so", 7) == 0) {
        add_exec_segments(info, runtime_ranges, &n_runtime);
    }
    return 0;
}

/* Returns the number of executable segments found for the module. */
EXPORT int failalloc_enable(const char *module_path) {
    busy = 1;
    void *frames[4];
    backtrace(frames, 4); /* loads the unwinder now rather than inside malloc */
    /* The module's own C++ library throws what the module catches: libc++
       where the module was built with it (it is loaded by then), else
       libstdc++. */
    void *cxx = dlopen("libc++.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!cxx) cxx = dlopen("libstdc++.so.6", RTLD_LAZY);
    if (cxx) throw_bad_alloc = (thrower)dlsym(cxx, "_ZSt17__throw_bad_allocv");
    Dl_info self;
    struct scan s = {module_path, 0};
    if (dladdr((void *)failalloc_enable, &self)) s.self_base = (uintptr_t)self.dli_fbase;
    n_module = n_runtime = 0;
    dl_iterate_phdr(scan_object, &s);
    busy = 0;
    if (!throw_bad_alloc) return 0;
    enabled = 1;
    return n_module;
}

EXPORT void failalloc_arm(long long n, int all) {
    fail_at = 0;
    counted = failed = 0;
    fail_all = all;
    fail_at = n;
}

EXPORT void failalloc_disarm(void) { fail_at = 0; }
EXPORT long long failalloc_counted(void) { return counted; }
EXPORT long long failalloc_failed(void) { return failed; }
EXPORT long long failalloc_live(void) { return overflowed ? -1 : live; }
