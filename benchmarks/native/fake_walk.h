/* One walk through the fake NVML with no work of our own around it: what the
 * library underneath costs a cache miss, stage by stage. */
#ifndef ZORF_BENCH_FAKE_WALK_H
#define ZORF_BENCH_FAKE_WALK_H

/* load, resolve, init, count, queries, shutdown, unload, total */
#define FAKE_WALK_STAGES 8

/* Nanoseconds per stage into `stage_ns`; 0, or -1 after a message on stderr. */
int fake_walk(long long stage_ns[FAKE_WALK_STAGES]);

#endif
