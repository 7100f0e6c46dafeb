/* Preloaded into q7m-uart by the slow-terminal benchmark: counts the frames
 * curses puts on the terminal (wrefresh calls) and the bytes written to
 * standard output, and writes both to the file named by Q7M_BENCH_COUNTS when
 * the program ends. Not part of the program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

typedef struct _win_st WINDOW;

static atomic_ulong frames;
static atomic_ulong outputBytes;

int wrefresh(WINDOW* window) {
  static int (*real)(WINDOW*);
  if (real == NULL) *(void**)(&real) = dlsym(RTLD_NEXT, "wrefresh");
  atomic_fetch_add(&frames, 1);
  return real(window);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL) *(void**)(&real) = dlsym(RTLD_NEXT, "write");
  const ssize_t n = real(fd, buffer, count);
  if (fd == STDOUT_FILENO && n > 0) atomic_fetch_add(&outputBytes, (unsigned long)n);
  return n;
}

/* Only a process that drew writes: a shell or a tool started beside the
 * program with the same environment leaves the file alone. */
__attribute__((destructor)) static void WriteCounts(void) {
  const char* path = getenv("Q7M_BENCH_COUNTS");
  if (path == NULL || atomic_load(&frames) == 0) return;
  FILE* file = fopen(path, "w");
  if (file == NULL) return;
  fprintf(file, "frames %lu output-bytes %lu\n", atomic_load(&frames), atomic_load(&outputBytes));
  fclose(file);
}
