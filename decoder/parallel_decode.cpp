// One picture on several threads, with exactly the bytes of the sequential
// decode.
//
// The workers are started once, by ZfCreateDecoder, and wait for jobs; each
// has a decoder state of its own, made with them. A job runs on every
// worker and on the caller's thread at once; the caller returns from it when
// all have finished. Nothing is allocated and no thread is started per
// decode.
//
// With a DRI interval the intervals are independent: each starts after its
// marker with the DC predictors at zero. The scan's intervals are cut into
// tasks of consecutive intervals; a task starts where a quick walk over the
// data finds the marker before it, and every thread decodes tasks. A task
// decoded from the wrong place is caught afterwards: each task records where
// the decode after its last boundary resumed, and the next task counts only
// when it started exactly there. From the first task that does not, the
// caller decodes the rest on its own, so the output is always the sequential
// one.
//
// Streams without an interval decode on the caller's thread. (Entropy
// decoding on one thread feeding the pixel stages on another through a ring
// of coefficient blocks was tried and measured: on this decoder, whose pixel
// stages are the smaller half, the hand-over cost more than it saved.)
#include <pthread.h>
#include <string.h>

#include <atomic>

#include "decoder_state.h"

// Pictures smaller than this stay on the caller's thread (tests lower it).
uint64_t gMinParallelPixels = 1u << 18;

namespace {

// Tasks of a restart-interval decode, at most.
constexpr uint32_t kMaxTasks = 256;

// What one task left.
struct TaskResult {
  const uint8_t* start;     // where it started (the guess)
  const uint8_t* resumeAt;  // where the decode after its last boundary resumed (null: zero bits)
  bool failed;
  bool damaged;
  uint32_t failedMcu;
};

}  // namespace

struct WorkerStart {
  struct WorkerPool* pool;
  uint32_t index;
};

struct WorkerPool {
  uint32_t workers;  // threads besides the caller's
  pthread_t* threads;
  WorkerStart* starts;
  DecoderState** states;  // one per worker, and the last for the caller
  pthread_mutex_t mutex;
  pthread_cond_t wake;  // workers wait here for a job
  pthread_cond_t idle;  // the caller waits here for the workers to finish it
  uint64_t generation;
  uint32_t running;
  bool quit;
  void (*job)(WorkerPool& pool, uint32_t thread);

  // The decode at hand: the state after the scan set-up, read by all.
  const DecoderState* base;
  const DecoderPaths* paths;

  // The tasks.
  uint32_t taskCount;
  uint32_t taskIntervals;  // intervals per task
  std::atomic<uint32_t> nextTask;
  TaskResult tasks[kMaxTasks];
};

namespace {

void* WorkerMain(void* argument) {
  const auto* start = static_cast<const WorkerStart*>(argument);
  WorkerPool& pool = *start->pool;
  const uint32_t thread = start->index;
  uint64_t seen = 0;
  pthread_mutex_lock(&pool.mutex);
  for (;;) {
    while (!pool.quit && pool.generation == seen) pthread_cond_wait(&pool.wake, &pool.mutex);
    if (pool.quit) break;
    seen = pool.generation;
    auto* job = pool.job;
    pthread_mutex_unlock(&pool.mutex);
    job(pool, thread);
    pthread_mutex_lock(&pool.mutex);
    if (--pool.running == 0) pthread_cond_signal(&pool.idle);
  }
  pthread_mutex_unlock(&pool.mutex);
  return nullptr;
}

// Runs `job` on every worker and on the caller's thread (the last index).
void RunJob(WorkerPool& pool, void (*job)(WorkerPool&, uint32_t)) {
  pthread_mutex_lock(&pool.mutex);
  pool.job = job;
  pool.running = pool.workers;
  ++pool.generation;
  pthread_cond_broadcast(&pool.wake);
  pthread_mutex_unlock(&pool.mutex);
  job(pool, pool.workers);
  pthread_mutex_lock(&pool.mutex);
  while (pool.running != 0) pthread_cond_wait(&pool.idle, &pool.mutex);
  pthread_mutex_unlock(&pool.mutex);
}

// A thread's own copy of the decode: tables, output target, bit reader.
DecoderState& ThreadState(WorkerPool& pool, uint32_t thread) {
  DecoderState& state = *pool.states[thread];
  memcpy(&state, pool.base, sizeof state);
  state.pool = nullptr;
  return state;
}

// The byte after each of the first `count` markers in the entropy-coded data
// from `pos`, by the rules the decode with an interval reads them: 0xFF
// 0x00 is data, 0xFF before 0xFF is a fill byte. Fewer when the data ends.
uint32_t FindMarkers(const uint8_t* pos, const uint8_t* end, const uint8_t** after, uint32_t count,
                     uint32_t every) {
  uint32_t found = 0;
  uint32_t markers = 0;
  while (found < count) {
    const auto* ff = static_cast<const uint8_t*>(memchr(pos, 0xFF, static_cast<size_t>(end - pos)));
    if (ff == nullptr) break;
    pos = ff + 1;
    while (pos < end && *pos == 0xFF) ++pos;
    if (pos >= end) break;
    if (*pos++ == 0x00) continue;
    if (++markers % every == 0) after[found++] = pos;
  }
  return found;
}

void DecodeTasks(WorkerPool& pool, uint32_t thread) {
  const DecoderState& base = *pool.base;
  const uint32_t taskMcus = pool.taskIntervals * base.restartInterval;
  DecoderState* state = nullptr;
  for (;;) {
    const uint32_t t = pool.nextTask.fetch_add(1, std::memory_order_relaxed);
    if (t >= pool.taskCount) break;
    if (state == nullptr) state = &ThreadState(pool, thread);
    TaskResult& task = pool.tasks[t];
    const uint32_t first = t * taskMcus;
    const uint32_t end = first + taskMcus < base.mcuTotal ? first + taskMcus : base.mcuTotal;
    if (t == 0) {
      memcpy(state, &base, sizeof *state);  // the scan set-up's own load
      state->pool = nullptr;
    } else {
      state->damaged = false;
      state->dataEnded = false;
      ResumeAfterBoundary(*state, task.start);
    }
    state->mcuNumber = first;
    state->boundaryPos = nullptr;
    task.failed = !DecodeMcuRange(*state, *pool.paths, first, end);
    task.failedMcu = state->failedMcu;
    task.damaged = state->damaged;
    task.resumeAt = state->boundaryPos;
  }
}

bool DecodeIntervals(WorkerPool& pool, DecoderState& state, const DecoderPaths& paths, int& result) {
  const uint32_t interval = state.restartInterval;
  const uint32_t intervals = (state.mcuTotal + interval - 1) / interval;
  if (intervals < 2) return false;
  const uint32_t wanted = intervals < kMaxTasks ? intervals : kMaxTasks;
  pool.taskIntervals = (intervals + wanted - 1) / wanted;
  pool.taskCount = (intervals + pool.taskIntervals - 1) / pool.taskIntervals;

  // Task t starts after marker t * taskIntervals of the data.
  const uint8_t* starts[kMaxTasks];
  const uint32_t found = FindMarkers(state.inputPos, state.streamEnd, starts, pool.taskCount - 1, pool.taskIntervals);
  pool.tasks[0].start = nullptr;
  for (uint32_t t = 1; t < pool.taskCount; ++t) pool.tasks[t].start = t - 1 < found ? starts[t - 1] : nullptr;
  // Tasks with no marker to start from are left to the sequential decode.
  const uint32_t guessed = found + 1;
  pool.taskCount = guessed < pool.taskCount ? guessed : pool.taskCount;
  pool.base = &state;
  pool.paths = &paths;
  pool.nextTask.store(0, std::memory_order_relaxed);
  RunJob(pool, DecodeTasks);

  // Take the tasks in order while each began where the one before resumed.
  const uint32_t taskMcus = pool.taskIntervals * interval;
  bool damaged = false;
  uint32_t t = 0;
  for (;; ++t) {
    const TaskResult& task = pool.tasks[t];
    damaged |= task.damaged;
    if (task.failed) {
      state.status = kZfBadData;
      state.failedMcu = task.failedMcu;
      result = 0;
      return true;
    }
    const bool last = (t + 1) * taskMcus >= state.mcuTotal;
    if (last) {
      state.damaged = damaged;
      result = 1;
      return true;
    }
    if (t + 1 >= pool.taskCount || task.resumeAt == nullptr || pool.tasks[t + 1].start != task.resumeAt) break;
  }
  // From task t + 1 on, on this thread, from where task t resumed.
  state.damaged = damaged;
  state.dataEnded = false;
  ResumeAfterBoundary(state, pool.tasks[t].resumeAt);
  state.mcuNumber = (t + 1) * taskMcus;
  result = DecodeMcuRange(state, paths, state.mcuNumber, state.mcuTotal);
  return true;
}

}  // namespace

WorkerPool* CreateWorkerPool(uint32_t threads) {
  if (threads < 2) return nullptr;
  auto* pool = static_cast<WorkerPool*>(AllocateZeroed(sizeof(WorkerPool)));
  if (pool == nullptr) return nullptr;
  const uint32_t workers = threads - 1;
  pthread_mutex_init(&pool->mutex, nullptr);
  pthread_cond_init(&pool->wake, nullptr);
  pthread_cond_init(&pool->idle, nullptr);
  pool->threads = static_cast<pthread_t*>(AllocateZeroed(sizeof(pthread_t) * workers));
  pool->starts = static_cast<WorkerStart*>(AllocateZeroed(sizeof(WorkerStart) * workers));
  pool->states = static_cast<DecoderState**>(AllocateZeroed(sizeof(DecoderState*) * threads));
  bool ok = pool->threads != nullptr && pool->starts != nullptr && pool->states != nullptr;
  for (uint32_t i = 0; ok && i < threads; ++i) {
    pool->states[i] = static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState)));
    ok = pool->states[i] != nullptr;
  }
  for (uint32_t i = 0; ok && i < workers; ++i) {
    pool->starts[i] = WorkerStart{pool, i};
    ok = pthread_create(&pool->threads[i], nullptr, WorkerMain, &pool->starts[i]) == 0;
    if (ok) ++pool->workers;
  }
  if (!ok) {  // all or nothing: the caller's thread alone serves
    DestroyWorkerPool(pool, threads);
    return nullptr;
  }
  return pool;
}

void DestroyWorkerPool(WorkerPool* pool, uint32_t threads) {
  if (pool == nullptr) return;
  pthread_mutex_lock(&pool->mutex);
  pool->quit = true;
  pthread_cond_broadcast(&pool->wake);
  pthread_mutex_unlock(&pool->mutex);
  for (uint32_t i = 0; i < pool->workers; ++i) pthread_join(pool->threads[i], nullptr);
  pthread_cond_destroy(&pool->idle);
  pthread_cond_destroy(&pool->wake);
  pthread_mutex_destroy(&pool->mutex);
  if (pool->states != nullptr) {
    for (uint32_t i = 0; i < threads; ++i) FreeAllocated(pool->states[i]);
  }
  FreeAllocated(pool->states);
  FreeAllocated(pool->starts);
  FreeAllocated(pool->threads);
  FreeAllocated(pool);
}

bool DecodeInParallel(DecoderState& state, const DecoderPaths& paths, int& result) {
  WorkerPool* pool = state.pool;
  if (pool == nullptr) return false;
  if (static_cast<uint64_t>(state.width) * state.height < gMinParallelPixels) return false;
  if (state.restartInterval == 0) return false;
  return DecodeIntervals(*pool, state, paths, result);
}
