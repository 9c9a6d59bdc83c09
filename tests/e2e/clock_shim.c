/* A clock offset for the real service and downloader processes of the end-to-end tests.
 *
 * Preloaded (LD_PRELOAD) into zoricsm and, through the inherited environment, into every KVdl
 * it starts, this library answers the wall-clock calls - time, gettimeofday and clock_gettime
 * with CLOCK_REALTIME or CLOCK_REALTIME_COARSE - with the system time plus an offset in
 * seconds that the test keeps in a small file (PONDREL_E2E_CLOCK_FILE: one native 64-bit
 * integer, mapped shared, so a change is seen at once by every process). The system clock is
 * never set; steady clocks are left alone, so time-outs and the stall watchdog still measure
 * real time. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static volatile int64_t* g_offset;

__attribute__((constructor)) static void MapOffsetFile(void) {
  const char* path = getenv("PONDREL_E2E_CLOCK_FILE");
  if (!path || !*path) return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  void* p = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p != MAP_FAILED) g_offset = (volatile int64_t*)p;
}

static int64_t Offset(void) { return g_offset ? __atomic_load_n(g_offset, __ATOMIC_RELAXED) : 0; }

static int RealClock(clockid_t id, struct timespec* ts) {
  return (int)syscall(SYS_clock_gettime, id, ts);
}

int clock_gettime(clockid_t id, struct timespec* ts) {
  int rc = RealClock(id, ts);
  if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
    ts->tv_sec += (time_t)Offset();
  return rc;
}

time_t time(time_t* out) {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return (time_t)-1;
  if (out) *out = ts.tv_sec;
  return ts.tv_sec;
}

int gettimeofday(struct timeval* tv, void* tz) {
  (void)tz;
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
  return 0;
}
