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
// decoded from the wrong place is caught: each task records where the decode
// after its last boundary resumed, and the next task counts only when it
// started exactly there. A task is entropy decoded into its thread's store
// of coefficient blocks first; its pixel stages write to the caller's buffer
// only once every task before it has been decoded, none failed and each
// began where the one before resumed, and only its MCUs before the one it
// failed in. From the first task that does not count, the caller decodes the
// rest on its own. So the caller's buffer receives exactly what the
// sequential decode writes, also when the data fails: nothing of a later
// interval.
//
// Without an interval the entropy-coded data is one chain: where an MCU
// starts is known only once the one before has been decoded. Two threads
// leapfrog. One decodes sequentially (entropy decoding and pixel stages);
// the other runs ahead: it starts decoding at a byte further on, as if an
// MCU began there, entropy decoding only, into a store of coefficient blocks
// with a record of the reader state each MCU began with. Huffman codes fall
// into step after a few symbols, and from then on the run's MCUs begin
// exactly where the sequential decode's do. After each batch of MCUs the
// sequential thread compares its reader state (input position, bit count
// and bits) with the records; once they agree, everything after decodes
// alike but for the DC predictors, which differ by a constant per
// component. The sequential thread then hands the picture over: the run's
// owner corrects the DC values, runs the pixel stages of its run from its
// own cache and decodes on sequentially from the state its run ended with,
// while the thread that handed over runs ahead beyond the end of that run,
// leaving a stretch to decode sequentially first as long as sizes the two
// threads' work alike (by the costs measured as the picture goes). A run
// that has not fallen into step after a while, or that the sequential
// decode has passed, is started again further on. Runs start anywhere in
// the data, past markers and fill bytes as past anything else (where a
// reader after a count of data bytes from its last load that is even would
// stand), and end on anything the fast entropy path leaves to the scalar
// decode, markers and fill bytes among it; the sequential decode takes
// whatever they leave, so the output is always the sequential one.
//
// Where runs ahead cannot help, the pixel stages are split instead: sparse
// data (flat pictures), whose entropy decoding is the small part of the
// work, or data with a marker or fill byte early on. The caller decodes the
// entropy-coded data in order, a chunk of MCUs at a time, into a ring of
// coefficient blocks; every thread takes chunks as they come and runs their
// pixel stages, and the caller takes one itself when the others fall
// behind. The entropy decoding is the sequential one, so are the bytes.
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "decoder_state.h"

// Pictures smaller than this stay on the caller's thread (tests lower it).
uint64_t gMinParallelPixels = 1u << 18;
// Without an interval: pictures of fewer MCUs decode sequentially, and a run
// ahead takes at most this many MCUs (0: as many as its store holds). Tests
// lower both, so that small pictures see many runs.
uint32_t gMinAheadMcus = 2048;
uint32_t gAheadRunMcus = 0;
// MCUs of pictures taken from runs ahead, over all decodes: tests read it to
// see the scheme at work.
std::atomic<uint64_t> gAheadMcusTaken{0};
// Without an interval: the data bytes per block at and above which runs
// ahead are tried (when the data holds no marker or fill byte early on);
// below it, and wherever runs ahead cannot go, the pixel stages are split.
// Tests set it to choose a scheme. MCUs whose pixel stages ran on a thread
// other than the one decoding in order, over all decodes.
double gAheadMinBytesPerBlock = 2;
std::atomic<uint64_t> gSplitMcusOutput{0};
// MCUs of a chunk at most (0: as many as fit kChunkBytes); tests lower it.
uint32_t gSplitChunkMcus = 0;

namespace {

// A thread's copy of a decode's state: without the pool, and without the
// room for skip tables that the decoder keeps for its own thread (two
// threads would make theirs in the same place).
void DetachCopy(DecoderState& copy) {
  copy.pool = nullptr;
  copy.fastAcSkip = nullptr;
  copy.fastAcSkipBuilt = false;
}

// Tasks of a restart-interval decode: at least about kWantedTasks, of
// blocks that fit a core's own cache (kTaskBytes) where the intervals allow,
// at most kMaxTasks, each of at most as many MCUs as a thread's store holds.
constexpr uint32_t kWantedTasks = 256;
constexpr uint32_t kMaxTasks = 4096;
constexpr size_t kTaskBytes = size_t{64} << 10;
constexpr size_t kTaskStoreBytes = size_t{2} << 20;
// Split pixel stages: chunks small enough, and few enough, that the blocks
// handed from one core to another stay in the caches (they weigh as much as
// the pixels); the ring of chunks lies in the threads' stores.
constexpr size_t kChunkBytes = size_t{64} << 10;
constexpr uint32_t kRingChunks = 8;

// Leapfrog decoding: each slot's coefficient store, and the records of the
// MCUs in it. A run ahead fills half of it (about what a core's own cache
// holds, so that its owner runs the pixel stages from there), and goes on
// into the other half while the sequential decode has not reached it.
constexpr size_t kAheadStoreBytes = size_t{2} << 20;
constexpr uint32_t kMaxAheadMcus = 16384;
// How often a run ahead publishes what it has; MCUs the sequential decode
// takes between checks, and checks without a match before it gives a run
// ahead up.
constexpr uint32_t kPublishEvery = 16;
// MCUs whose DC values are corrected at a time before their pixel stages.
constexpr uint32_t kPixelChunk = 32;
constexpr uint32_t kBatch = 16;
constexpr uint32_t kMaxMisses = 64;
// MCU rows of a stored picture a thread takes at a time.
constexpr uint32_t kStoreRowsPerTask = 2;

// The reader state an MCU decoded ahead began with, and its blocks' DC.
struct AheadRecord {
  uint64_t position;  // of the next bit to read (BitPosition): for ordering only
  const uint8_t* inputPos;
  uint32_t bitBuffer;
  uint32_t bitCount;
  int16_t predictor[kMaxComponents];
  int16_t blockDc[kMaxMcuBlocks];  // each block's predictor value after its DC
};

// What the sequential decode tells a run ahead.
enum Verdict : int {
  kPending,  // nothing yet
  kSynced,   // its MCU syncIndex is the picture's MCU syncMcu, DC off by `offset`
  kRestart,  // it never fell into step: run again from `start`
  kIdle,     // nothing more to run ahead on
};

// One thread's run ahead. Its owner writes the blocks and records and
// publishes them (`published`, `done`); the thread decoding sequentially
// reads the records and gives the verdict. All changes of `published`,
// `done` and `verdict` are made under the pool's mutex.
struct AheadSlot {
  int16_t* blocks;
  AheadRecord* records;  // kMaxAheadMcus + 1: the last for the state after the run
  const uint8_t* start;
  std::atomic<uint32_t> published;
  std::atomic<bool> done;
  std::atomic<int> verdict;
  std::atomic<uint32_t> generation;  // counts the runs, so that a check sees one run's records
  uint32_t syncIndex;
  uint32_t syncMcu;
  int16_t offset[kMaxComponents];
};

// What one task left. `decoded` is set, and read, under the pool's mutex.
struct TaskResult {
  const uint8_t* start;     // where it started (the guess)
  const uint8_t* resumeAt;  // where the decode after its last boundary resumed (null: zero bits)
  bool failed;
  bool damaged;
  bool decoded;             // its entropy decoding has ended
  uint32_t failedMcu;
};

// The scan a thread decodes, for the others to follow: its number in
// stream order + 1 (0: none), the frame components it codes (a bit each),
// the coefficients it reads and writes (first | last << 8, zigzag order),
// and the frame MCU rows it has decoded (UINT32_MAX once it has ended).
struct ScanSlot {
  std::atomic<uint32_t> scan;
  std::atomic<uint32_t> components;
  std::atomic<uint32_t> band;
  std::atomic<uint32_t> rowsDone;
};

// Whether two scans' coefficients (first | last << 8) meet.
bool BandsMeet(uint32_t a, uint32_t b) { return (a & 0xFF) <= (b >> 8) && (b & 0xFF) <= (a >> 8); }

}  // namespace

// A thread's part in decoding scans: its slot, and the rows of its scan's
// MCUs to one frame MCU row (the component's V for a scan of one component).
struct ScanSync {
  struct WorkerPool* pool;
  uint32_t thread;
  uint32_t rowDivisor;
};

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
  DecoderState* producer;  // split pixel stages: the decode's own state
  const DecoderPaths* paths;

  // Leapfrog decoding: a slot per thread taking part, and what the one
  // that ends the picture found.
  AheadSlot slots[2];
  uint32_t aheadCapacity;     // MCUs of this picture a slot holds
  uint32_t aheadRun;          // MCUs a run ahead takes at least (when it can)
  const uint8_t* aheadLimit;  // no run ahead begins an MCU at or past this
  const uint8_t* scanOrigin;  // where bit positions count from
  const uint8_t* countedTo;   // AheadStart's last result: a boundary after an even count
  double bytesPerMcu;         // the scan's mean, for guessing where MCUs begin
  // What an MCU costs, in nanoseconds, run ahead (entropy decoding), in the
  // pixel stages after it, and decoded sequentially: measured as the picture
  // goes, to size the stretches so that neither thread waits long.
  std::atomic<double> aheadCost;
  std::atomic<double> outputCost;
  std::atomic<double> sequentialCost;
  pthread_cond_t progress;    // a slot's published, done or verdict, or finished, changed
  std::atomic<bool> finished;  // changed under the mutex
  int finishResult;
  ZfStatus finishStatus;
  uint32_t finishFailedMcu;

  // Split pixel stages: the caller decodes the entropy-coded data in order,
  // a chunk of MCUs at a time, into a ring of chunks; every thread takes
  // chunks and runs their pixel stages. `produced` chunks are decoded (the
  // last perhaps short: chunkCount), `claimed` are taken; the two and
  // `ended` change under the mutex and are also read without it;
  // chunkDone[slot] is one more than the last chunk whose pixel stages
  // ended in that slot.
  uint32_t chunkMcus;
  uint32_t ringChunks;
  std::atomic<uint32_t> produced;
  std::atomic<uint32_t> claimed;
  std::atomic<bool> ended;
  uint32_t chunkCount[kRingChunks];
  std::atomic<uint32_t> chunkDone[kRingChunks];

  // Scans on several threads: the decode's own state, on which the scans
  // are set up in turn, and its walk; whether no more scans are taken; the
  // first scan in stream order that failed (UINT32_MAX: none) and how.
  // All changed under the mutex. A slot per thread.
  ScanWalk* walk;
  bool scansEnded;
  uint32_t failedScan;
  ZfStatus failedScanStatus;
  uint32_t failedScanMcu;
  ScanSlot* scanSlots;

  // The tasks.
  uint32_t taskCount;
  uint32_t taskIntervals;  // intervals per task
  std::atomic<uint32_t> nextTask;
  // Tasks 0 .. counted - 1 began where the one before resumed (task 0 at the
  // scan's start); from task `counted` on none counts once `chainBroken`.
  // Both changed under the mutex, tasks waiting on `progress`.
  uint32_t counted;
  bool chainBroken;
  int16_t** taskStores;  // one per thread: a task's coefficient blocks
  TaskResult tasks[kMaxTasks];
  const uint8_t* taskStarts[kMaxTasks];
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
  DetachCopy(state);
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

// Under the pool's mutex: counts on the tasks whose start is proven.
void CountProvenTasks(WorkerPool& pool) {
  while (!pool.chainBroken && pool.counted < pool.taskCount) {
    const TaskResult& before = pool.tasks[pool.counted - 1];
    if (!before.decoded) return;
    if (before.failed || before.resumeAt == nullptr || pool.tasks[pool.counted].start != before.resumeAt) {
      pool.chainBroken = true;
      return;
    }
    ++pool.counted;
  }
}

// The pixel stages of MCUs first .. end - 1, whose blocks are in `store` from
// `first` on, as DecodeMcuRange runs them.
void OutputStored(DecoderState& state, const DecoderPaths& paths, const int16_t* store, uint32_t first, uint32_t end) {
  OutputDecodedMcus(state, paths, store, first, end);
}

void DecodeTasks(WorkerPool& pool, uint32_t thread) {
  const DecoderState& base = *pool.base;
  const uint32_t taskMcus = pool.taskIntervals * base.restartInterval;
  const size_t values = static_cast<size_t>(BlockCount(base)) * 64;
  int16_t* store = pool.taskStores[thread];
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
      DetachCopy(*state);
    } else {
      state->damaged = false;
      state->dataEnded = false;
      ResumeAfterBoundary(*state, task.start);
    }
    state->mcuNumber = first;
    state->boundaryPos = nullptr;
    // Entropy decoding into the store.
    uint32_t decoded = first;
    bool failed = false;
    for (; decoded < end; ++decoded) {
      if (!pool.paths->decodeMcu(*state)) {
        failed = true;
        break;
      }
      memcpy(store + (decoded - first) * values, state->blockBuffer, values * sizeof(int16_t));
    }
    // Told, then waiting until it is known whether the task counts.
    pthread_mutex_lock(&pool.mutex);
    task.failed = failed;
    task.failedMcu = decoded;
    task.damaged = state->damaged;
    task.resumeAt = state->boundaryPos;
    task.decoded = true;
    CountProvenTasks(pool);
    pthread_cond_broadcast(&pool.progress);
    while (t >= pool.counted && !pool.chainBroken) pthread_cond_wait(&pool.progress, &pool.mutex);
    const bool counts = t < pool.counted;
    pthread_mutex_unlock(&pool.mutex);
    // Its MCUs before the one it failed in, as the sequential decode writes them.
    if (counts) OutputStored(*state, *pool.paths, store, first, decoded);
  }
}

bool DecodeIntervals(WorkerPool& pool, DecoderState& state, const DecoderPaths& paths, int& result) {
  const uint32_t interval = state.restartInterval;
  const uint32_t intervals = (state.mcuTotal + interval - 1) / interval;
  if (intervals < 2) return false;
  // A task's blocks fit in a thread's store.
  const size_t mcuBytes = static_cast<size_t>(BlockCount(state)) * 64 * sizeof(int16_t);
  const uint32_t mostIntervals = static_cast<uint32_t>(kTaskStoreBytes / mcuBytes) / interval;
  if (mostIntervals == 0) return false;
  const uint32_t wanted = intervals < kWantedTasks ? intervals : kWantedTasks;
  pool.taskIntervals = (intervals + wanted - 1) / wanted;
  const uint32_t cached = static_cast<uint32_t>(kTaskBytes / mcuBytes) / interval;
  if (pool.taskIntervals > cached) pool.taskIntervals = cached > 0 ? cached : 1;
  const uint32_t fewest = (intervals + kMaxTasks - 1) / kMaxTasks;  // per task, for kMaxTasks
  if (pool.taskIntervals < fewest) pool.taskIntervals = fewest;
  if (pool.taskIntervals > mostIntervals) pool.taskIntervals = mostIntervals;
  pool.taskCount = (intervals + pool.taskIntervals - 1) / pool.taskIntervals;
  if (pool.taskCount > kMaxTasks) return false;

  // Task t starts after marker t * taskIntervals of the data.
  const uint32_t found =
      FindMarkers(state.inputPos, state.streamEnd, pool.taskStarts, pool.taskCount - 1, pool.taskIntervals);
  pool.tasks[0].start = nullptr;
  for (uint32_t t = 1; t < pool.taskCount; ++t) pool.tasks[t].start = t - 1 < found ? pool.taskStarts[t - 1] : nullptr;
  // Tasks with no marker to start from are left to the sequential decode.
  const uint32_t guessed = found + 1;
  pool.taskCount = guessed < pool.taskCount ? guessed : pool.taskCount;
  for (uint32_t t = 0; t < pool.taskCount; ++t) pool.tasks[t].decoded = false;
  pool.counted = 1;
  pool.chainBroken = false;
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

// ---- Leapfrog decoding ----

// Where a reader at `pos` holding `bitCount` bits stands, in bits from
// `origin`, for ordering records only: a stuffed byte among the bits held
// puts it up to a byte late per stuffed byte, so that the order is nearly,
// not always, that of the bits. Equal readers give equal positions.
uint64_t BitPosition(const uint8_t* origin, const uint8_t* pos, uint32_t bitCount) {
  return static_cast<uint64_t>(pos - origin) * 8 - bitCount;
}

// The first 0xFF from `pos` that is not a stuffed data byte: a marker or a
// fill byte (or `end`).
const uint8_t* FindFirstMarker(const uint8_t* pos, const uint8_t* end) {
  for (;;) {
    const auto* ff = static_cast<const uint8_t*>(memchr(pos, 0xFF, static_cast<size_t>(end - pos)));
    if (ff == nullptr || end - ff < 2) return end;
    if (ff[1] != 0x00) return ff;
    pos = ff + 2;
  }
}

// Walks the entropy-coded data from `p`, an item boundary with `odd` telling
// whether an odd number of data bytes has been read there since the reader
// last loaded (at the scan's start or after a marker), by the rules the
// decode without an interval reads it: a byte other than 0xFF is a data
// byte; 0xFF 0x00 is the data byte 0xFF; a 0xFF before another 0xFF is a
// fill byte, passed over; 0xFF and any other byte is a marker, after which
// the reader loads anew (EOI aside, which ends the data). Returns the first
// boundary at or after `target` where the count is even (the bit counts of
// two readers at the same bit can then agree, both refilling two data bytes
// at a time), or `end`.
const uint8_t* EvenItemBoundary(const uint8_t* p, const uint8_t* target, const uint8_t* end, bool odd) {
  for (;;) {
    if (p >= end) return end;
    if (p >= target && !odd) return p;
    // Data bytes up to the next 0xFF (or the target) at once.
    const uint8_t* stop = p >= target ? p + 1 : target;
    const auto* ff = static_cast<const uint8_t*>(memchr(p, 0xFF, static_cast<size_t>((stop < end ? stop : end) - p)));
    if (ff == nullptr) {
      const uint8_t* to = stop < end ? stop : end;
      odd ^= ((to - p) & 1) != 0;
      p = to;
      continue;
    }
    odd ^= ((ff - p) & 1) != 0;
    p = ff;
    const uint8_t* q = p + 1;
    while (q < end && *q == 0xFF) ++q;
    if (q >= end) return end;
    if (*q == 0x00) {
      odd = !odd;
    } else if (*q != kMarkerEoi) {
      odd = false;
    } else {
      return end;
    }
    p = q + 1;
  }
}

// Where a run ahead begins: the first boundary from `target` on that
// EvenItemBoundary gives, walking on from the last call's result where it
// can. Null when that is past the limit. Only the thread decoding in order
// calls it (one at a time).
const uint8_t* AheadStart(WorkerPool& pool, const uint8_t* target) {
  if (target < pool.scanOrigin + 2 || target >= pool.aheadLimit) return nullptr;
  const bool onward = pool.countedTo != nullptr && pool.countedTo <= target;
  const uint8_t* start = EvenItemBoundary(onward ? pool.countedTo : pool.scanOrigin, target, pool.aheadLimit, false);
  pool.countedTo = start;
  return start < pool.aheadLimit ? start : nullptr;
}

double NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Folds a new measure of `ns` over `mcus` MCUs into a cost.
void Measured(std::atomic<double>& cost, double ns, uint32_t mcus) {
  if (mcus < 64) return;
  cost.store(0.5 * cost.load(std::memory_order_relaxed) + 0.5 * ns / mcus, std::memory_order_relaxed);
}

void SetVerdict(WorkerPool& pool, AheadSlot& slot, Verdict verdict) {
  pthread_mutex_lock(&pool.mutex);
  slot.verdict.store(verdict, std::memory_order_release);
  pthread_cond_broadcast(&pool.progress);
  pthread_mutex_unlock(&pool.mutex);
}

// Ends the picture for both threads: the first to get here tells how.
void Finish(WorkerPool& pool, const DecoderState& state, int result) {
  pthread_mutex_lock(&pool.mutex);
  if (!pool.finished.load(std::memory_order_relaxed)) {
    pool.finished.store(true, std::memory_order_release);
    pool.finishResult = result;
    pool.finishStatus = state.status;
    pool.finishFailedMcu = state.failedMcu;
  }
  pthread_cond_broadcast(&pool.progress);
  pthread_mutex_unlock(&pool.mutex);
}

bool Finished(const WorkerPool& pool) { return pool.finished.load(std::memory_order_acquire); }

// A run ahead: from slot.start, as if an MCU began there, MCUs into the
// slot until it is full, the data before the first marker runs out, the fast
// path gives up, or the verdict comes that it never fell into step. A start
// that gives up at once is tried again a little further on.
void RunAhead(WorkerPool& pool, AheadSlot& slot, DecoderState& state) {
  const uint32_t values = static_cast<uint32_t>(BlockCount(state)) * 64;
  const uint32_t generation = slot.generation.load(std::memory_order_relaxed);
  const uint8_t* start = slot.start;
  uint32_t count = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    state.inputPos = start;
    state.bitBuffer = 0;
    state.bitCount = 0;
    state.marker = 0;
    for (int16_t& p : state.dcPredictor) p = 0;
    state.byteFF = nullptr;
    count = 0;
    bool gaveUp = false;
    while (count < pool.aheadCapacity && state.inputPos < pool.aheadLimit) {
      const int verdict = slot.verdict.load(std::memory_order_relaxed);
      if (verdict == kRestart || verdict == kIdle || (verdict == kSynced && count >= pool.aheadRun) || Finished(pool))
        break;
      AheadRecord& record = slot.records[count];
      record.position = BitPosition(pool.scanOrigin, state.inputPos, state.bitCount);
      record.inputPos = state.inputPos;
      record.bitBuffer = state.bitBuffer;
      record.bitCount = state.bitCount;
      memcpy(record.predictor, state.dcPredictor, sizeof record.predictor);
      int16_t* blocks = slot.blocks + static_cast<size_t>(count) * values;
      if (!DecodeMcuAhead(state, blocks)) {
        gaveUp = true;
        break;
      }
      // A predictor of -32768 has cleared its block's AC values, which
      // another predictor would keep: the run ends before that MCU.
      bool cleared = false;
      for (uint32_t b = 0; b < values / 64; ++b) cleared |= state.blockDc[b] == -32768;
      if (cleared) {
        gaveUp = true;
        break;
      }
      memcpy(record.blockDc, state.blockDc, sizeof record.blockDc);
      if (++count % kPublishEvery == 0) {
        pthread_mutex_lock(&pool.mutex);
        slot.published.store(count, std::memory_order_release);
        pthread_mutex_unlock(&pool.mutex);
      }
    }
    if (!gaveUp || count >= 8 || state.inputPos + 2 >= pool.aheadLimit) break;
    // On past a marker or fill byte close ahead, which the fast path leaves
    // to the sequential decode; else a little further on. The MCU given up
    // began after an even count, as its run did.
    const uint8_t* scanTo = pool.aheadLimit - state.inputPos > 256 ? state.inputPos + 256 : pool.aheadLimit;
    const uint8_t* marker = FindFirstMarker(state.inputPos, scanTo);
    const uint8_t* target = marker < scanTo ? marker + 2 : state.inputPos + 2;
    start = EvenItemBoundary(state.inputPos, target, pool.aheadLimit, false);
    if (start >= pool.aheadLimit) break;
  }
  // The state after the last MCU, for the owner to go on from.
  AheadRecord& end = slot.records[count];
  end.inputPos = state.inputPos;
  end.bitBuffer = state.bitBuffer;
  end.bitCount = state.bitCount;
  memcpy(end.predictor, state.dcPredictor, sizeof end.predictor);
  pthread_mutex_lock(&pool.mutex);
  if (slot.generation.load(std::memory_order_relaxed) == generation) {
    slot.published.store(count, std::memory_order_release);
    slot.done.store(true, std::memory_order_release);
  }
  pthread_cond_broadcast(&pool.progress);
  pthread_mutex_unlock(&pool.mutex);
}

// Readies the slot for a run from `start`.
void ResetSlot(WorkerPool& pool, AheadSlot& slot, const uint8_t* start) {
  pthread_mutex_lock(&pool.mutex);
  slot.start = start;
  slot.published.store(0, std::memory_order_relaxed);
  slot.done.store(false, std::memory_order_relaxed);
  slot.generation.fetch_add(1, std::memory_order_relaxed);
  slot.verdict.store(start != nullptr ? kPending : kIdle, std::memory_order_release);
  pthread_cond_broadcast(&pool.progress);
  pthread_mutex_unlock(&pool.mutex);
}

// The pixel stages of the slot's MCUs from syncIndex to `end`, each MCU's DC
// values corrected by the offset.
void OutputAhead(const AheadSlot& slot, DecoderState& state, const DecoderPaths& paths, uint32_t end) {
  const uint32_t sampling = state.samplingCode;
  const uint32_t mcuWidth = static_cast<uint32_t>(McuWidth(sampling));
  const uint32_t mcuHeight = static_cast<uint32_t>(McuHeight(sampling));
  const uint32_t mcuColumns = (state.width + mcuWidth - 1) / mcuWidth;
  const uint32_t lastRow = (state.height + mcuHeight - 1) / mcuHeight - 1;
  const int allBlocks = BlockCount(state);
  const int blocks = state.outputFormat == kZfGrey ? state.frame[0].h * state.frame[0].v : allBlocks;
  const size_t values = static_cast<size_t>(allBlocks) * 64;
  const size_t mcuBytes = mcuWidth * FormatBytes(state.outputFormat);
  // One scan of every component: its blocks are the frame MCU's.
  int32_t dcQuant[kMaxMcuBlocks];
  bool levelShift[kMaxMcuBlocks];
  for (int b = 0; b < allBlocks; ++b) {
    dcQuant[b] = state.quant[state.blockSet[b]][0];
    levelShift[b] = state.frame[state.scanComponent[state.blockPredictor[b]]].levelShift;
  }

  uint32_t mcu = slot.syncMcu;
  uint32_t mx = mcu % mcuColumns;
  uint32_t my = mcu / mcuColumns;
  for (uint32_t i = slot.syncIndex; i < end; ++i, ++mcu) {
    // The DC values, level shift included, go into the stored blocks a
    // stretch ahead of their inverse DCT: a narrow store just before the
    // transform's wide loads of the same bytes would stall them.
    if ((i - slot.syncIndex) % kPixelChunk == 0) {
      const uint32_t last = end - i < kPixelChunk ? end : i + kPixelChunk;
      for (uint32_t k = i; k < last; ++k) {
        const AheadRecord& record = slot.records[k];
        int16_t* stored = slot.blocks + k * values;
        for (int b = 0; b < allBlocks; ++b) {
          const int component = state.blockPredictor[b];
          const auto p = static_cast<int16_t>(static_cast<uint16_t>(record.blockDc[b] + slot.offset[component]));
          int16_t* block = stored + b * 64;
          if (p == -32768) {
            memset(block, 0, 64 * sizeof *block);
          } else {
            block[0] = static_cast<int16_t>(static_cast<uint16_t>(p * dcQuant[b]));
          }
          // The level shift, as in the pixel stages of DecodeMcuRange.
          if (levelShift[b]) block[0] = static_cast<int16_t>(static_cast<uint16_t>(block[0] + 1024));
        }
      }
    }
    memcpy(state.blockBuffer, slot.blocks + i * values, values * sizeof(int16_t));
    for (int b = 0; b < blocks; ++b) paths.inverseDct(state.cosineTable, state.blockBuffer + b * 64);
    const uint32_t columns = mx == mcuColumns - 1 ? state.width - mx * mcuWidth : mcuWidth;
    const uint32_t rows = my == lastRow ? state.height - my * mcuHeight : mcuHeight;
    uint8_t* destination = state.outputRows + static_cast<size_t>(my) * mcuHeight * state.outputStride + mx * mcuBytes;
    OutputMcuFormatted(state, paths, destination, static_cast<int>(columns), static_cast<int>(rows));
    if (++mx == mcuColumns) {
      mx = 0;
      ++my;
    }
  }
}

// The sequential decode, with the pixel stages, from where `state` stands,
// checking after each batch of MCUs whether the partner's run ahead has an
// MCU that begins in the same reader state. Returns true when it has (the
// partner is told, and takes over from there), false when the picture has
// ended (Finish called).
bool DecodeUntilSynced(WorkerPool& pool, DecoderState& state, AheadSlot& partner) {
  const DecoderPaths& paths = *pool.paths;
  uint32_t generation = ~0u;
  uint32_t j = 0;
  uint32_t misses = 0;
  for (;;) {
    const uint32_t mcu = state.mcuNumber;
    if (mcu >= state.mcuTotal) {
      Finish(pool, state, 1);
      return false;
    }
    const bool plain = state.marker == 0 && !state.dataEnded && state.bitCount <= 32;
    if (plain && partner.verdict.load(std::memory_order_acquire) == kPending) {
      if (partner.generation.load(std::memory_order_relaxed) != generation) {
        generation = partner.generation.load(std::memory_order_relaxed);
        j = 0;
        misses = 0;
      }
      const uint64_t at = BitPosition(pool.scanOrigin, state.inputPos, state.bitCount);
      const bool done = partner.done.load(std::memory_order_acquire);
      const uint32_t available = partner.published.load(std::memory_order_acquire);
      while (j < available && partner.records[j].position < at) ++j;
      if (j < available) {
        const AheadRecord& record = partner.records[j];
        if (record.inputPos == state.inputPos && record.bitCount == state.bitCount &&
            record.bitBuffer == state.bitBuffer) {
          for (int c = 0; c < kMaxComponents; ++c)
            partner.offset[c] = static_cast<int16_t>(static_cast<uint16_t>(state.dcPredictor[c] - record.predictor[c]));
          partner.syncIndex = j;
          partner.syncMcu = mcu;
          SetVerdict(pool, partner, kSynced);
          return true;
        }
        if (j != 0) ++misses;
      }
      // Past all it decoded, or long in its range without a match: it runs
      // again from further on.
      if ((done && j >= available && (available == 0 || j != 0)) || misses > kMaxMisses) {
        const double lead = pool.aheadRun * pool.bytesPerMcu * pool.aheadCost.load(std::memory_order_relaxed) /
                            pool.sequentialCost.load(std::memory_order_relaxed);
        const uint8_t* start = AheadStart(pool, state.inputPos + static_cast<size_t>(lead));
        pthread_mutex_lock(&pool.mutex);
        partner.start = start;
        partner.verdict.store(start != nullptr ? kRestart : kIdle, std::memory_order_release);
        pthread_cond_broadcast(&pool.progress);
        pthread_mutex_unlock(&pool.mutex);
      }
    }
    const uint32_t end = state.mcuTotal - mcu < kBatch ? state.mcuTotal : mcu + kBatch;
    if (!DecodeMcuRange(state, paths, mcu, end)) {
      Finish(pool, state, 0);
      return false;
    }
  }
}

// Waits for the verdict on the slot's run; kIdle also when the picture has
// ended.
int WaitVerdict(WorkerPool& pool, AheadSlot& slot) {
  // The verdict mostly comes within a fraction of a millisecond: spinning
  // that long keeps this core awake (a sleeping one can take long to wake).
  const double began = NowNs();
  while (slot.verdict.load(std::memory_order_acquire) == kPending && !Finished(pool) && NowNs() - began < 200e3) {
    for (int i = 0; i < 64; ++i) __builtin_ia32_pause();
  }
  pthread_mutex_lock(&pool.mutex);
  while (!Finished(pool) && slot.verdict.load(std::memory_order_relaxed) == kPending)
    pthread_cond_wait(&pool.progress, &pool.mutex);
  const int verdict = Finished(pool) ? kIdle : slot.verdict.load(std::memory_order_relaxed);
  pthread_mutex_unlock(&pool.mutex);
  return verdict;
}

// One of the two threads: decoding sequentially until the partner's run
// ahead falls into step, then running ahead itself beyond the partner's
// run, then, once the partner falls into step with that, the pixel stages
// of its own run and the sequential decode from its end; and so on.
void LeapfrogJob(WorkerPool& pool, uint32_t thread) {
  if (thread != pool.workers && thread != 0) return;  // two threads take part
  const bool caller = thread == pool.workers;
  AheadSlot& own = pool.slots[caller ? 0 : 1];
  AheadSlot& partner = pool.slots[caller ? 1 : 0];
  DecoderState& state = *pool.states[thread];
  const DecoderPaths& paths = *pool.paths;
  bool sequential = caller;
  for (;;) {
    if (sequential) {
      const double began = NowNs();
      const uint32_t first = state.mcuNumber;
      const uint8_t* from = state.inputPos;
      if (!DecodeUntilSynced(pool, state, partner)) return;
      Measured(pool.sequentialCost, NowNs() - began, state.mcuNumber - first);
      // The partner's run holds the picture from here; run ahead beyond its
      // end, leaving it a stretch to decode sequentially first, as long as
      // what it has to do before then takes less than this run.
      const uint32_t j = partner.syncIndex;
      const uint32_t published = partner.published.load(std::memory_order_acquire);
      // Where the partner's run will end: it stops soon after the verdict,
      // but not before its planned length.
      const uint32_t run = pool.aheadRun;
      const uint32_t partnerEnd = published > run ? published : run;
      // The bytes per MCU here: from the partner's records, or this stretch.
      double density = pool.bytesPerMcu;
      if (published > j + 64) {
        density = static_cast<double>(partner.records[published - 1].inputPos - partner.records[j].inputPos) /
                  (published - 1 - j);
      } else if (state.mcuNumber - first >= 64) {
        density = static_cast<double>(state.inputPos - from) / (state.mcuNumber - first);
      }
      const double ahead = pool.aheadCost.load(std::memory_order_relaxed);
      const double output = pool.outputCost.load(std::memory_order_relaxed);
      const double sequentialCost = pool.sequentialCost.load(std::memory_order_relaxed);
      double stretch = (published * ahead - (partnerEnd - j) * output) / sequentialCost;
      stretch = stretch < 0 ? 0 : stretch > run ? run : stretch;
      const double lead = (partnerEnd - j + stretch) * density;
      // Near the end, a shorter run rather than none.
      const double room = static_cast<double>(pool.aheadLimit - state.inputPos) - 0.5 * run * density;
      ResetSlot(pool, own, AheadStart(pool, state.inputPos + static_cast<size_t>(lead < room ? lead : room > 0 ? room : 0)));
      sequential = false;
    }
    if (own.verdict.load(std::memory_order_relaxed) == kIdle || Finished(pool)) return;
    const double began = NowNs();
    RunAhead(pool, own, state);
    Measured(pool.aheadCost, NowNs() - began, own.published.load(std::memory_order_relaxed));
    const int verdict = WaitVerdict(pool, own);
    if (verdict == kIdle) return;
    if (verdict == kRestart) {
      ResetSlot(pool, own, own.start);
      continue;
    }
    // In step: this run's MCUs from syncIndex are the picture's from syncMcu.
    const uint32_t published = own.published.load(std::memory_order_relaxed);
    const uint32_t picture = own.syncIndex + (state.mcuTotal - own.syncMcu);
    const uint32_t end = published < picture ? published : picture;
    const double outputBegan = NowNs();
    OutputAhead(own, state, paths, end);
    gAheadMcusTaken.fetch_add(end - own.syncIndex, std::memory_order_relaxed);
    Measured(pool.outputCost, NowNs() - outputBegan, end - own.syncIndex);
    const AheadRecord& record = own.records[end];
    state.inputPos = record.inputPos;
    state.bitBuffer = record.bitBuffer;
    state.bitCount = record.bitCount;
    for (int c = 0; c < kMaxComponents; ++c)
      state.dcPredictor[c] = static_cast<int16_t>(static_cast<uint16_t>(record.predictor[c] + own.offset[c]));
    state.mcuNumber = own.syncMcu + (end - own.syncIndex);
    state.byteFF = nullptr;
    state.marker = 0;
    sequential = true;
  }
}

// ---- Split pixel stages ----

int16_t* ChunkBlocks(WorkerPool& pool, uint32_t chunk) {
  const uint32_t slot = chunk % pool.ringChunks;
  const uint32_t perStore = static_cast<uint32_t>(kTaskStoreBytes / kChunkBytes);
  const size_t values = static_cast<size_t>(BlockCount(*pool.base)) * 64;
  return pool.taskStores[slot / perStore] + static_cast<size_t>(slot % perStore) * pool.chunkMcus * values;
}

// Takes the next decoded chunk whose pixel stages nobody runs yet. With
// `wait`, waits for one while the decode goes on; false when there is none.
bool ClaimChunk(WorkerPool& pool, uint32_t& chunk, bool wait) {
  // A chunk mostly comes within a fraction of a millisecond: waiting that
  // long keeps this core awake. Yielding rather than spinning: on a loaded
  // machine the thread this one waits for may need the core.
  const double began = wait ? NowNs() : 0;
  while (wait && !pool.ended.load(std::memory_order_acquire) &&
         pool.claimed.load(std::memory_order_relaxed) >= pool.produced.load(std::memory_order_acquire) &&
         NowNs() - began < 50e3) {
    sched_yield();
  }
  pthread_mutex_lock(&pool.mutex);
  while (wait && pool.claimed.load(std::memory_order_relaxed) >= pool.produced.load(std::memory_order_relaxed) &&
         !pool.ended.load(std::memory_order_relaxed))
    pthread_cond_wait(&pool.progress, &pool.mutex);
  const uint32_t next = pool.claimed.load(std::memory_order_relaxed);
  const bool got = next < pool.produced.load(std::memory_order_relaxed);
  if (got) {
    chunk = next;
    pool.claimed.store(next + 1, std::memory_order_relaxed);
  }
  pthread_mutex_unlock(&pool.mutex);
  return got;
}

// The pixel stages of a claimed chunk, then its slot is free again.
void OutputChunk(WorkerPool& pool, DecoderState& state, uint32_t chunk, bool sequential) {
  const uint32_t first = chunk * pool.chunkMcus;
  const uint32_t count = pool.chunkCount[chunk % pool.ringChunks];
  OutputStored(state, *pool.paths, ChunkBlocks(pool, chunk), first, first + count);
  if (!sequential) gSplitMcusOutput.fetch_add(count, std::memory_order_relaxed);
  pthread_mutex_lock(&pool.mutex);
  pool.chunkDone[chunk % pool.ringChunks].store(chunk + 1, std::memory_order_release);
  pthread_cond_broadcast(&pool.progress);
  pthread_mutex_unlock(&pool.mutex);
}

// The caller: the entropy decoding in order, chunk after chunk, on the
// decode's own state; between chunks, the pixel stages of one when the
// other threads fall behind, or while the next chunk's slot is still busy.
void ProduceChunks(WorkerPool& pool, DecoderState& state) {
  const DecoderPaths& paths = *pool.paths;
  const size_t values = static_cast<size_t>(BlockCount(state)) * 64;
  for (uint32_t chunk = 0;; ++chunk) {
    const uint32_t first = chunk * pool.chunkMcus;
    const uint32_t end = state.mcuTotal - first < pool.chunkMcus ? state.mcuTotal : first + pool.chunkMcus;
    const uint32_t slot = chunk % pool.ringChunks;
    // The slot's chunk before, if any, must have left it.
    const uint32_t before = chunk >= pool.ringChunks ? chunk - pool.ringChunks + 1 : 0;
    while (pool.chunkDone[slot].load(std::memory_order_acquire) < before) {
      uint32_t other;
      if (ClaimChunk(pool, other, false)) {
        OutputChunk(pool, state, other, true);
        continue;
      }
      pthread_mutex_lock(&pool.mutex);
      while (pool.chunkDone[slot].load(std::memory_order_relaxed) < before) pthread_cond_wait(&pool.progress, &pool.mutex);
      pthread_mutex_unlock(&pool.mutex);
    }
    int16_t* blocks = ChunkBlocks(pool, chunk);
    uint32_t mcu = first;
    bool failed = false;
    for (; mcu < end; ++mcu) {
      if (!paths.decodeMcu(state)) {
        state.status = kZfBadData;
        state.failedMcu = mcu;
        failed = true;
        break;
      }
      memcpy(blocks + (mcu - first) * values, state.blockBuffer, values * sizeof(int16_t));
    }
    pthread_mutex_lock(&pool.mutex);
    pool.chunkCount[slot] = mcu - first;
    pool.produced.store(chunk + 1, std::memory_order_release);
    if (failed || end == state.mcuTotal) pool.ended.store(true, std::memory_order_release);
    pthread_cond_broadcast(&pool.progress);
    const uint32_t waiting = pool.produced.load(std::memory_order_relaxed) - pool.claimed.load(std::memory_order_relaxed);
    pthread_mutex_unlock(&pool.mutex);
    if (failed || end == state.mcuTotal) break;
    // More than one chunk waiting: the other threads are behind.
    uint32_t other;
    if (waiting > 1 && ClaimChunk(pool, other, false)) OutputChunk(pool, state, other, true);
  }
  uint32_t other;
  while (ClaimChunk(pool, other, false)) OutputChunk(pool, state, other, true);
}

void SplitPixelJob(WorkerPool& pool, uint32_t thread) {
  if (thread == pool.workers) {
    ProduceChunks(pool, *pool.producer);
    return;
  }
  uint32_t chunk;
  while (ClaimChunk(pool, chunk, true)) OutputChunk(pool, *pool.states[thread], chunk, false);
}

bool DecodeSplitPixels(WorkerPool& pool, DecoderState& state, const DecoderPaths& paths, int& result) {
  const size_t mcuBytes = static_cast<size_t>(BlockCount(state)) * 64 * sizeof(int16_t);
  pool.chunkMcus = static_cast<uint32_t>(kChunkBytes / mcuBytes);
  if (gSplitChunkMcus != 0 && gSplitChunkMcus < pool.chunkMcus) pool.chunkMcus = gSplitChunkMcus;
  const uint32_t perStore = static_cast<uint32_t>(kTaskStoreBytes / kChunkBytes);
  const uint32_t ring = (pool.workers + 1) * perStore;
  pool.ringChunks = ring < kRingChunks ? ring : kRingChunks;
  if (state.mcuTotal < 2 * pool.chunkMcus) return false;
  pool.base = &state;
  pool.paths = &paths;
  pool.producer = &state;
  pool.produced.store(0, std::memory_order_relaxed);
  pool.claimed.store(0, std::memory_order_relaxed);
  pool.ended.store(false, std::memory_order_relaxed);
  for (uint32_t i = 0; i < pool.ringChunks; ++i) pool.chunkDone[i].store(0, std::memory_order_relaxed);
  // The workers' copies (tables, output target) before the decode moves on.
  for (uint32_t thread = 0; thread < pool.workers; ++thread) {
    memcpy(pool.states[thread], &state, sizeof state);
    DetachCopy(*pool.states[thread]);
  }
  RunJob(pool, SplitPixelJob);
  result = state.status == kZfBadData ? 0 : 1;
  return true;
}

// Without an interval: runs ahead where the entropy decoding is a large part
// of the work (dense data); else the pixel stages split, which gains where
// the entropy decoding is the small part and never costs: the entropy
// decoding is the sequential one.
bool DecodeAhead(WorkerPool& pool, DecoderState& state, const DecoderPaths& paths, int& result) {
  // The scan's reader as StartScan left it: four bytes loaded, nothing met.
  if (!paths.usesFastAcTables || state.bitCount != 32 || state.marker != 0 || state.dataEnded ||
      state.fakeBits != 0 || state.mcuTotal < gMinAheadMcus)
    return DecodeSplitPixels(pool, state, paths, result);
  const uint8_t* origin = state.inputPos;
  for (int i = 0; i < 4; ++i) origin -= origin[-1] == 0x00 && origin[-2] == 0xFF ? 2 : 1;
  // The data ends at the EOI found last in the stream's final bytes (or at
  // the stream's end): runs ahead stay before it.
  const uint8_t* dataEnd = state.streamEnd;
  for (const uint8_t* p = state.streamEnd - 2; p >= origin && state.streamEnd - p <= 4096; --p) {
    if (p[0] == 0xFF && p[1] == kMarkerEoi) {
      dataEnd = p;
      break;
    }
  }
  const double dataBytes = static_cast<double>(dataEnd - origin);
  const double density = dataBytes / (static_cast<double>(state.mcuTotal) * BlockCount(state));
  if (dataEnd - origin < 1024 || density < gAheadMinBytesPerBlock) return DecodeSplitPixels(pool, state, paths, result);
  const uint32_t values = static_cast<uint32_t>(BlockCount(state)) * 64;
  pool.aheadCapacity = static_cast<uint32_t>(kAheadStoreBytes / (values * sizeof(int16_t)));
  if (pool.aheadCapacity > kMaxAheadMcus) pool.aheadCapacity = kMaxAheadMcus;
  if (gAheadRunMcus != 0 && pool.aheadCapacity > 2 * gAheadRunMcus) pool.aheadCapacity = 2 * gAheadRunMcus;
  pool.aheadRun = pool.aheadCapacity / 2;
  pool.scanOrigin = origin;
  pool.countedTo = nullptr;
  // Far enough from the data's end that no MCU begun before it reaches it.
  pool.aheadLimit = dataEnd - 64;
  pool.bytesPerMcu = dataBytes / state.mcuTotal;
  pool.base = &state;
  pool.paths = &paths;
  pool.finished.store(false, std::memory_order_relaxed);
  // Typical costs to begin with, until the picture's own are measured.
  pool.aheadCost.store(70, std::memory_order_relaxed);
  pool.outputCost.store(30, std::memory_order_relaxed);
  pool.sequentialCost.store(100, std::memory_order_relaxed);
  for (uint32_t thread : {0u, pool.workers}) {
    memcpy(pool.states[thread], &state, sizeof state);
    DetachCopy(*pool.states[thread]);
  }
  // The caller begins at the start; the worker runs ahead from further on.
  ResetSlot(pool, pool.slots[0], nullptr);
  ResetSlot(pool, pool.slots[1], AheadStart(pool, origin + static_cast<size_t>(0.7 * pool.aheadRun * pool.bytesPerMcu)));
  RunJob(pool, LeapfrogJob);
  result = pool.finishResult;
  if (!result) {
    state.status = pool.finishStatus;
    state.failedMcu = pool.finishFailedMcu;
  }
  state.damaged = pool.states[0]->damaged || pool.states[pool.workers]->damaged;
  state.mcuNumber = state.mcuTotal;
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
  pool->taskStores = static_cast<int16_t**>(AllocateZeroed(sizeof(int16_t*) * threads));
  pool->scanSlots = static_cast<ScanSlot*>(AllocateZeroed(sizeof(ScanSlot) * threads));
  pthread_cond_init(&pool->progress, nullptr);
  bool ok = pool->threads != nullptr && pool->starts != nullptr && pool->states != nullptr &&
            pool->taskStores != nullptr && pool->scanSlots != nullptr;
  for (AheadSlot& slot : pool->slots) {
    slot.blocks = static_cast<int16_t*>(AllocateZeroed(kAheadStoreBytes));
    slot.records = static_cast<AheadRecord*>(AllocateZeroed(sizeof(AheadRecord) * (kMaxAheadMcus + 1)));
    ok = ok && slot.blocks != nullptr && slot.records != nullptr;
  }
  for (uint32_t i = 0; ok && i < threads; ++i) {
    pool->states[i] = static_cast<DecoderState*>(AllocateZeroed(sizeof(DecoderState)));
    pool->taskStores[i] = static_cast<int16_t*>(AllocateZeroed(kTaskStoreBytes));
    ok = pool->states[i] != nullptr && pool->taskStores[i] != nullptr;
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
  pthread_cond_destroy(&pool->progress);
  pthread_cond_destroy(&pool->idle);
  pthread_cond_destroy(&pool->wake);
  pthread_mutex_destroy(&pool->mutex);
  if (pool->states != nullptr) {
    for (uint32_t i = 0; i < threads; ++i) FreeAllocated(pool->states[i]);
  }
  if (pool->taskStores != nullptr) {
    for (uint32_t i = 0; i < threads; ++i) FreeAllocated(pool->taskStores[i]);
  }
  FreeAllocated(pool->taskStores);
  FreeAllocated(pool->scanSlots);
  FreeAllocated(pool->states);
  for (AheadSlot& slot : pool->slots) {
    FreeAllocated(slot.records);
    FreeAllocated(slot.blocks);
  }
  FreeAllocated(pool->starts);
  FreeAllocated(pool->threads);
  FreeAllocated(pool);
}

namespace {

// The pixel stages of a stored picture: each thread takes the next stretch
// of MCU rows and writes them; the stretches share nothing.
void OutputStoreJob(WorkerPool& pool, uint32_t thread) {
  DecoderState* state = nullptr;
  const DecoderState& base = *pool.base;
  const uint32_t columns = base.scanMcuColumns;
  for (;;) {
    const uint32_t row = pool.nextTask.fetch_add(kStoreRowsPerTask, std::memory_order_relaxed);
    if (row >= base.scanMcuRows) break;
    if (state == nullptr) state = &ThreadState(pool, thread);
    const uint32_t end = row + kStoreRowsPerTask < base.scanMcuRows ? row + kStoreRowsPerTask : base.scanMcuRows;
    OutputStoredMcus(*state, *pool.paths, row * columns, end * columns);
  }
}

}  // namespace

bool OutputStoreInParallel(DecoderState& state, const DecoderPaths& paths, int& result) {
  WorkerPool* pool = state.pool;
  if (pool == nullptr || static_cast<uint64_t>(state.width) * state.height < gMinParallelPixels) return false;
  pool->base = &state;
  pool->paths = &paths;
  pool->nextTask.store(0, std::memory_order_relaxed);
  RunJob(*pool, OutputStoreJob);
  result = 1;
  return true;
}

bool DecodeInParallel(DecoderState& state, const DecoderPaths& paths, int& result) {
  WorkerPool* pool = state.pool;
  if (pool == nullptr) return false;
  if (static_cast<uint64_t>(state.width) * state.height < gMinParallelPixels) return false;
  if (state.restartInterval == 0) return DecodeAhead(*pool, state, paths, result);
  return DecodeIntervals(*pool, state, paths, result);
}

// Scans on several threads.
//
// A picture in several scans has its scans decoded by every thread at once,
// each scan whole by one thread, taken in stream order. Taking one walks the
// headers on from the scan taken before (the tables and restart intervals
// between scans) on the decode's own state, under the pool's mutex, and
// copies that state as it then stands. A scan that shares coefficients
// (a component, and a spectral band that meets its own) with an earlier one
// still being decoded trails it row by row (SyncScanRow), so every
// coefficient meets its scans in stream order, as on one thread: a
// refinement reads what the scans before it wrote. Scans of other
// components or bands, or of the same ones some rows behind, decode at
// once; each reads and writes its own band of a block only. A scan
// that fails ends the taking; the first failing one in stream order gives
// the status, as on one thread (where nothing after it is decoded: what the
// later ones left in the store is never output).

void SyncScanRow(DecoderState& state, uint32_t row) {
  const ScanSync& sync = *state.scanSync;
  WorkerPool& pool = *sync.pool;
  ScanSlot& own = pool.scanSlots[sync.thread];
  const uint32_t frameRow = row / sync.rowDivisor;
  own.rowsDone.store(frameRow, std::memory_order_release);
  const uint32_t scan = own.scan.load(std::memory_order_relaxed);
  const uint32_t components = own.components.load(std::memory_order_relaxed);
  const uint32_t band = own.band.load(std::memory_order_relaxed);
  for (uint32_t t = 0; t <= pool.workers; ++t) {
    if (t == sync.thread) continue;
    const ScanSlot& other = pool.scanSlots[t];
    // The slot may be taken for a later scan meanwhile: that one is no
    // concern, and the earlier one has then ended.
    for (;;) {
      const uint32_t earlier = other.scan.load(std::memory_order_acquire);
      if (earlier == 0 || earlier >= scan || (other.components.load(std::memory_order_relaxed) & components) == 0 ||
          !BandsMeet(other.band.load(std::memory_order_relaxed), band))
        break;
      if (other.rowsDone.load(std::memory_order_acquire) > frameRow) break;
      sched_yield();
    }
  }
}

namespace {

// The first scan in stream order that failed, as `index` did.
void RecordFailedScan(WorkerPool& pool, uint32_t index, ZfStatus status, uint32_t failedMcu) {
  pool.scansEnded = true;
  if (index >= pool.failedScan) return;
  pool.failedScan = index;
  pool.failedScanStatus = status;
  pool.failedScanMcu = failedMcu;
}

// A pointer of a copy of `from`: where it points into `from` itself, the
// same place in the copy `to`.
template <typename T>
T* IntoCopy(T* pointer, const DecoderState& from, DecoderState& to) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(&from);
  if (at < begin || at >= begin + sizeof from) return pointer;
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(&to) + (at - begin));
}

void ScanJob(WorkerPool& pool, uint32_t thread) {
  ScanSlot& slot = pool.scanSlots[thread];
  ScanSync sync{&pool, thread, 1};
  DecoderState& own = *pool.states[thread];
  DecoderState& state = *pool.producer;
  ScanWalk& walk = *pool.walk;
  for (;;) {
    pthread_mutex_lock(&pool.mutex);
    const uint32_t index = walk.scans;
    bool take = !pool.scansEnded && (index == 0 || FindNextScan(state, walk));
    if (take && !SetUpScan(state, walk)) {
      RecordFailedScan(pool, index, state.status, state.failedMcu);
      take = false;
    }
    if (!take) {
      pool.scansEnded = true;
      pthread_mutex_unlock(&pool.mutex);
      break;
    }
    memcpy(&own, &state, sizeof own);
    // The scan's tables are its own: the walk to later scans may redefine
    // the decode's (tables between scans) while this one decodes.
    for (int j = 0; j < kMaxComponents; ++j) {
      own.dcSpec[j] = IntoCopy(own.dcSpec[j], state, own);
      own.acSpec[j] = IntoCopy(own.acSpec[j], state, own);
      own.quant[j] = IntoCopy(own.quant[j], state, own);
    }
    for (int t = 0; t < kMaxTables; ++t) {
      own.dcTable[t] = IntoCopy(own.dcTable[t], state, own);
      own.acTable[t] = IntoCopy(own.acTable[t], state, own);
    }
    DetachCopy(own);
    own.scanSync = &sync;
    sync.rowDivisor = state.scanComponents > 1 ? 1 : state.frame[state.scanComponent[0]].v;
    uint32_t components = 0;
    for (int j = 0; j < state.scanComponents; ++j) components |= 1u << state.scanComponent[j];
    slot.components.store(components, std::memory_order_relaxed);
    // A sequential scan writes whole blocks; a progressive one its band.
    const uint32_t first = state.progressive ? state.spectralStart : 0;
    const uint32_t last = state.progressive ? state.spectralEnd : 63;
    slot.band.store(first | last << 8, std::memory_order_relaxed);
    slot.rowsDone.store(0, std::memory_order_relaxed);
    slot.scan.store(index + 1, std::memory_order_release);
    pthread_mutex_unlock(&pool.mutex);

    const int decoded = DecodeScan(own, *pool.paths);
    slot.rowsDone.store(UINT32_MAX, std::memory_order_release);
    pthread_mutex_lock(&pool.mutex);
    walk.damaged = walk.damaged || own.damaged;
    if (!decoded) RecordFailedScan(pool, index, own.status, own.failedMcu);
    pthread_mutex_unlock(&pool.mutex);
  }
  slot.scan.store(0, std::memory_order_release);
}

}  // namespace

bool DecodeScansInParallel(DecoderState& state, const DecoderPaths& paths, ScanWalk& walk, int& result) {
  WorkerPool* pool = state.pool;
  if (pool == nullptr || static_cast<uint64_t>(state.width) * state.height < gMinParallelPixels) return false;
  pool->producer = &state;
  pool->paths = &paths;
  pool->walk = &walk;
  pool->scansEnded = false;
  pool->failedScan = UINT32_MAX;
  for (uint32_t t = 0; t <= pool->workers; ++t) {
    pool->scanSlots[t].scan.store(0, std::memory_order_relaxed);
    pool->scanSlots[t].rowsDone.store(0, std::memory_order_relaxed);
  }
  RunJob(*pool, ScanJob);
  result = 1;
  if (pool->failedScan != UINT32_MAX) {
    state.status = pool->failedScanStatus;
    state.failedMcu = pool->failedScanMcu;
    result = 0;
  }
  return true;
}
