/* SPDX-License-Identifier: MIT */
/* For the Windows test environment under Wine only (scripts/windows/wine.sh builds it and loads it at start-up
 * of the test CPython): Wine 8.0's ucrtbase.dll exports the C99 complex functions of the Universal CRT
 * (api-ms-win-crt-math-l1-1-0.dll: crealf, cimagf, cabsf, cexp, ...) as stubs that abort the process when
 * called, and NumPy 2's Windows build calls crealf, cimagf and cabsf as it imports. Wine resolves the API set
 * straight to ucrtbase.dll, past any DLL override, and NumPy's own files are to stay as NumPy ships them: so
 * this DLL, once loaded, points each such stub of the loaded ucrtbase.dll at a working function here, built
 * on mingw-w64's C99 complex functions. A function that ucrtbase.dll implements is left alone.
 *
 * The Universal CRT's complex types are structures (_Dcomplex, _Fcomplex, _Lcomplex), not C99's _Complex,
 * and its long double is a double: _Dcomplex and _Lcomplex go by reference, _Fcomplex in a register, as
 * the structures below do under the Windows x64 calling convention. */
#define _GNU_SOURCE /* clog10 */
#define WIN32_LEAN_AND_MEAN
#include <complex.h>
#include <string.h>
#include <windows.h>

typedef struct {
    double re, im;
} Dcomplex; /* _Dcomplex, and _Lcomplex (long double is a double there) */
typedef struct {
    float re, im;
} Fcomplex;

static double complex to_d(Dcomplex z) { return __builtin_complex(z.re, z.im); }
static float complex to_f(Fcomplex z) { return __builtin_complex(z.re, z.im); }
static Dcomplex from_d(double complex z) { return (Dcomplex){creal(z), cimag(z)}; }
static Fcomplex from_f(float complex z) { return (Fcomplex){crealf(z), cimagf(z)}; }

/* NAME, NAMEf, NAMEl: complex to complex; the l form is the double one. */
#define COMPLEX_UNARY(name)                                                                  \
    static Dcomplex w_##name(Dcomplex z) { return from_d(name(to_d(z))); }                  \
    static Fcomplex w_##name##f(Fcomplex z) { return from_f(name##f(to_f(z))); }
/* complex to real */
#define REAL_UNARY(name)                                                                     \
    static double w_##name(Dcomplex z) { return name(to_d(z)); }                            \
    static float w_##name##f(Fcomplex z) { return name##f(to_f(z)); }

COMPLEX_UNARY(cacos)
COMPLEX_UNARY(cacosh)
COMPLEX_UNARY(casin)
COMPLEX_UNARY(casinh)
COMPLEX_UNARY(catan)
COMPLEX_UNARY(catanh)
COMPLEX_UNARY(ccos)
COMPLEX_UNARY(ccosh)
COMPLEX_UNARY(cexp)
COMPLEX_UNARY(clog)
COMPLEX_UNARY(clog10)
COMPLEX_UNARY(conj)
COMPLEX_UNARY(cproj)
COMPLEX_UNARY(csin)
COMPLEX_UNARY(csinh)
COMPLEX_UNARY(csqrt)
COMPLEX_UNARY(ctan)
COMPLEX_UNARY(ctanh)
REAL_UNARY(cabs)
REAL_UNARY(carg)
REAL_UNARY(cimag)
REAL_UNARY(creal)

static Dcomplex w_cpow(Dcomplex x, Dcomplex y) { return from_d(cpow(to_d(x), to_d(y))); }
static Fcomplex w_cpowf(Fcomplex x, Fcomplex y) { return from_f(cpowf(to_f(x), to_f(y))); }
/* norm: the squared magnitude */
static double w_norm(Dcomplex z) { return z.re * z.re + z.im * z.im; }
static float w_normf(Fcomplex z) { return z.re * z.re + z.im * z.im; }
/* The builders and the plain products of the Universal CRT's complex.h. */
static Dcomplex w__Cbuild(double re, double im) { return (Dcomplex){re, im}; }
static Fcomplex w__FCbuild(float re, float im) { return (Fcomplex){re, im}; }
static Dcomplex w__Cmulcc(Dcomplex x, Dcomplex y) {
    return (Dcomplex){x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}
static Fcomplex w__FCmulcc(Fcomplex x, Fcomplex y) {
    return (Fcomplex){x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}
static Dcomplex w__Cmulcr(Dcomplex x, double y) { return (Dcomplex){x.re * y, x.im * y}; }
static Fcomplex w__FCmulcr(Fcomplex x, float y) { return (Fcomplex){x.re * y, x.im * y}; }

/* Each export and what takes its place; the long double (l) forms are the double ones. */
#define BOTH(name) {#name, (void *)w_##name}, {#name "f", (void *)w_##name##f}, {#name "l", (void *)w_##name}
static const struct {
    const char *name;
    void *function;
} replacements[] = {
    BOTH(cabs),   BOTH(cacos), BOTH(cacosh), BOTH(carg),  BOTH(casin), BOTH(casinh), BOTH(catan),
    BOTH(catanh), BOTH(ccos),  BOTH(ccosh),  BOTH(cexp),  BOTH(cimag), BOTH(clog),   BOTH(clog10),
    BOTH(conj),   BOTH(cpow),  BOTH(cproj),  BOTH(creal), BOTH(csin),  BOTH(csinh),  BOTH(csqrt),
    BOTH(ctan),   BOTH(ctanh), BOTH(norm),
    {"_Cbuild", (void *)w__Cbuild},   {"_FCbuild", (void *)w__FCbuild}, {"_LCbuild", (void *)w__Cbuild},
    {"_Cmulcc", (void *)w__Cmulcc},   {"_FCmulcc", (void *)w__FCmulcc}, {"_LCmulcc", (void *)w__Cmulcc},
    {"_Cmulcr", (void *)w__Cmulcr},   {"_FCmulcr", (void *)w__FCmulcr}, {"_LCmulcr", (void *)w__Cmulcr},
};

/* What winebuild makes of an export it has no function for: sub $0x28,%rsp; lea STRING(%rip),%rcx;
 * lea STRING(%rip),%rdx; call __wine_spec_unimplemented_stub (24 bytes with its padding). */
static int is_wine_stub(const unsigned char *code) {
    static const unsigned char start[] = {0x48, 0x83, 0xec, 0x28, 0x48, 0x8d, 0x0d};
    return memcmp(code, start, sizeof start) == 0 && code[11] == 0x48 && code[12] == 0x8d &&
           code[13] == 0x15 && code[18] == 0xe8;
}

/* Overwrites the stub's first 14 bytes with jmp *0(%rip) and the function's address. */
static int redirect(unsigned char *code, void *function) {
    unsigned char jump[14] = {0xff, 0x25, 0, 0, 0, 0};
    DWORD protection = 0;
    memcpy(jump + 6, &function, sizeof function);
    if (!VirtualProtect(code, sizeof jump, PAGE_EXECUTE_READWRITE, &protection)) return 0;
    memcpy(code, jump, sizeof jump);
    VirtualProtect(code, sizeof jump, protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), code, sizeof jump);
    return 1;
}

static LONG redirected = -1;

/* How many stubs were redirected when the DLL was loaded; -1 if ucrtbase.dll was not loaded. */
__declspec(dllexport) LONG wine_ucrt_complex_redirected(void) { return redirected; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
    if (!ucrt) return TRUE;
    redirected = 0;
    for (size_t i = 0; i < sizeof replacements / sizeof replacements[0]; i++) {
        unsigned char *code = (unsigned char *)(void *)GetProcAddress(ucrt, replacements[i].name);
        if (code && is_wine_stub(code) && redirect(code, replacements[i].function)) redirected++;
    }
    return TRUE;
}
