// Each thread's exception-handling state of the C++ runtime linked into the
// module, kept where the C library makes it at thread creation.
//
// The runtime's own copy of these two functions keeps the state in dynamic
// thread-local storage. For a module loaded with dlopen, the C library
// allocates that storage on a thread's first access, that is its first C++
// exception (a std::bad_alloc, say), and ends the process when that
// allocation fails: "cannot allocate memory for thread-local data: ABORT".
// Out of memory is exactly when the first exception comes. Initial-exec
// storage is part of the static TLS block instead: reserved for every
// running thread when the module is loaded (the import fails cleanly if it
// cannot be), and for each new thread together with its stack, by
// pthread_create, which can fail but not abort. Defined here, these two win
// over the archive's at link time, so the runtime's copy is never linked in.
//
// Only with the C++ runtime linked in statically: a shared one keeps its own.
// Both runtimes this module is built with, GCC's libstdc++ (libsupc++) and
// LLVM's libc++abi (the release wheels), keep the state behind these two
// functions. Declared here: libc++abi's <cxxabi.h> does not declare them.
namespace {

// The Itanium C++ ABI's __cxa_eh_globals: the caught-exception stack and the
// count of uncaught exceptions, and on the ARM EHABI a propagating-exception
// pointer. Room for all three, zeroed, is all the runtime asks for.
struct alignas(void*) EhGlobalsStorage {
  unsigned char bytes[3 * sizeof(void*)];
};

thread_local EhGlobalsStorage eh_globals __attribute__((tls_model("initial-exec")));

}  // namespace

namespace __cxxabiv1 {

struct __cxa_eh_globals;

extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&eh_globals);
}

extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&eh_globals);
}

}  // namespace __cxxabiv1
