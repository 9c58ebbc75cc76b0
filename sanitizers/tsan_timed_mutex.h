// Included first into every file of the TSan build (scripts/sanitize). The TSan runtime of g++ 12
// does not intercept pthread_mutex_clocklock, which std::timed_mutex uses for a steady-clock
// deadline: TSan then misses the lock, calls its unlock "unlock of an unlocked mutex" and loses
// the ordering the mutex gives. Without this macro libstdc++ waits in pthread_mutex_timedlock
// instead, which TSan intercepts.
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK

// TSan does not model the fences in Asio's handler blocks, and g++ says so for every one; the
// handlers' data is also published under the scheduler's mutex, which TSan does see.
#pragma GCC diagnostic ignored "-Wtsan"
