// One worker pool per process, whichever extension module of the library starts it.
//
// Each extension links its own copy of the core, pool included. The first module to
// be built publishes its copy's pool table (core/pool.hpp) on `sys` in a capsule; every
// later module adopts that table, so its parallel kernels run on the first module's
// pool and RAYON_NUM_THREADS counts the threads of the whole process.
#pragma once

namespace quarnel::py {

// Called while a module is built, under the interpreter lock. Never fails the import:
// a registry entry that is not a table of ours leaves this module its own pool.
void share_worker_pool() noexcept;

}  // namespace quarnel::py
