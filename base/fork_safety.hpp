#pragma once

namespace mirelo {

// A child made by fork() inherits libgomp's thread pool without its threads, and its first
// parallel region would wait for them forever. Registers, once per process, a handler that
// releases the pool before every fork; parent and child then start fresh threads when needed.
void prepare_openmp_for_fork();

}  // namespace mirelo
