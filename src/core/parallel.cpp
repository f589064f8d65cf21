// Threads for the encoders: the platform's own calls, so that a thread that
// cannot be started is an answer and not an exception.
#include "core/parallel.h"

#include <atomic>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

enum { MAX_THREADS = 16 };

struct part_queue {
  void (*part)(void *, int);
  void *context;
  int count;
  std::atomic<int> next;
};

void take_parts(part_queue *queue) {
  for (;;) {
    int index = queue->next.fetch_add(1);
    if (index >= queue->count) return;
    queue->part(queue->context, index);
  }
}

#if defined(_WIN32)
DWORD WINAPI worker(LPVOID arg) {
  take_parts((part_queue *)arg);
  return 0;
}
#else
void *worker(void *arg) {
  take_parts((part_queue *)arg);
  return NULL;
}
#endif

int core_count() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return (int)info.dwNumberOfProcessors;
#else
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? (int)n : 1;
#endif
}

}  // namespace

int parts_for(size_t bytes, size_t min_bytes, int max_parts) {
  int parts = core_count();
  if (parts > max_parts) parts = max_parts;
  if (parts > MAX_THREADS) parts = MAX_THREADS;
  while (parts > 1 && bytes / (size_t)parts < min_bytes) parts--;
  return parts < 1 ? 1 : parts;
}

void run_parts(int count, void (*part)(void *context, int index), void *context) {
  part_queue queue;
  queue.part = part;
  queue.context = context;
  queue.count = count;
  queue.next.store(0);
  int threads = core_count();
  if (threads > count) threads = count;
  if (threads > MAX_THREADS) threads = MAX_THREADS;
#if defined(_WIN32)
  HANDLE handles[MAX_THREADS];
#else
  pthread_t handles[MAX_THREADS];
#endif
  int started = 0;
  for (int i = 1; i < threads; i++) {
#if defined(_WIN32)
    handles[started] = CreateThread(NULL, 0, worker, &queue, 0, NULL);
    if (!handles[started]) break;
#else
    if (pthread_create(&handles[started], NULL, worker, &queue) != 0) break;
#endif
    started++;
  }
  take_parts(&queue);
  for (int i = 0; i < started; i++) {
#if defined(_WIN32)
    WaitForSingleObject(handles[i], INFINITE);
    CloseHandle(handles[i]);
#else
    pthread_join(handles[i], NULL);
#endif
  }
}
