/* The floor under a cache hit: the system calls the module makes for one
 * (stat, open, read until end of file, close), with nothing around them. */
#ifndef ZORF_BENCH_HIT_LOOP_H
#define ZORF_BENCH_HIT_LOOP_H

/* Mean nanoseconds per hit over `iterations` hits on `path`; negative after a
 * message on stderr. */
double hit_loop(const char* path, long iterations);

#endif
