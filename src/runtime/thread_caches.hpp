// The per-thread caches of the library, in one place.
//
// Three kinds of storage are reused from one call to the next on the same
// thread instead of being freed and allocated again.  Each exists because
// freeing it hands its pages back to the kernel under the default heap
// settings (the trim threshold lies far below their size), so the next call
// would fault every page in again, at several times the cost of the work.
// Each has a fixed cap per thread, and none is shared between threads, so
// none takes a lock:
//
//   cache                     cap per thread          users
//   -----------------------   ---------------------   ---------------------------
//   reused decode record      32 MiB of list storage  decode_into families
//   (parsing/reused_record)   per record type         (ryk16, tolv96): the event
//                                                     dicts, the CSV export
//   ECC list cache            8 MiB of finding        every thread taking part
//   (ecc/check.cpp ListCache) lists                   in an ECC check: callers
//                                                     and pool workers
//   number tables             2 x 512 KiB (65536      the event dicts' number
//   (python_api/parsing.cpp)  object slots each)      objects, on Python threads
//
// Storage past a cap is freed when it is given back, never cached.  Each
// cache is a thread_local and is freed when its thread ends: a Python
// thread's at its end, a pool worker's when the process ends (the pool's
// threads live as long as the process; in a forked child, where the caller
// works alone, only the caller's caches exist).  A process with T threads
// that use all three holds at most T x (32 MiB per record type + 8 MiB +
// 1 MiB).
#pragma once
