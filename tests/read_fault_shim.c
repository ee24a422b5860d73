/* Faults for whole-program tests, preloaded into the program:
 * - HALVEX_TEST_READ_FAULT: every openat() for reading of a path, and every
 *   fdopendir() or getdents64() of a directory, that matches this fnmatch()
 *   pattern (the whole path; "*" crosses "/") fails with EIO;
 * - HALVEX_TEST_KILL_AT_FSYNC: the process is killed (SIGKILL) when it is
 *   about to fsync() a file whose path matches;
 * - HALVEX_TEST_KILL_AFTER_CLOSE: the process is killed right after it has
 *   closed such a file.
 * Unset, they do nothing. Nothing else is touched: the program's own
 * handling of the fault is what the tests watch. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char* setting(const char* name) {
  const char* p = getenv(name);
  return p && *p ? p : NULL;
}

static const char* pattern(void) { return setting("HALVEX_TEST_READ_FAULT"); }

/* The path a descriptor stands for; empty when it cannot be told. */
static void pathOfFd(int fd, char* out, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, out, size - 1);
  out[n > 0 ? n : 0] = '\0';
}

static int matches(int dirFd, const char* name) {
  const char* p = pattern();
  if (!p || !name) return 0;
  char full[PATH_MAX * 2];
  if (name[0] == '/' || dirFd == AT_FDCWD) {
    snprintf(full, sizeof full, "%s", name);
  } else {
    char dir[PATH_MAX];
    pathOfFd(dirFd, dir, sizeof dir);
    snprintf(full, sizeof full, "%s/%s", dir, name);
  }
  return fnmatch(p, full, 0) == 0;
}

typedef int (*openat_fn)(int, const char*, int, ...);

static int forward(const char* symbol, int dirFd, const char* name, int flags, mode_t mode) {
  static openat_fn real[2];
  const int which = strcmp(symbol, "openat") == 0 ? 0 : 1;
  if (!real[which]) real[which] = (openat_fn)dlsym(RTLD_NEXT, symbol);
  /* Only reads fail: the program's own files and scratch copies are made as usual. */
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) == 0 && matches(dirFd, name)) {
    errno = EIO;
    return -1;
  }
  return real[which](dirFd, name, flags, mode);
}

int openat(int dirFd, const char* name, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return forward("openat", dirFd, name, flags, mode);
}

int openat64(int dirFd, const char* name, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return forward("openat64", dirFd, name, flags, mode);
}

static int fdMatches(int fd, const char* name) {
  const char* p = setting(name);
  if (!p) return 0;
  char path[PATH_MAX];
  pathOfFd(fd, path, sizeof path);
  return fnmatch(p, path, 0) == 0;
}

DIR* fdopendir(int fd) {
  static DIR* (*real)(int);
  if (!real) real = (DIR * (*)(int)) dlsym(RTLD_NEXT, "fdopendir");
  if (fdMatches(fd, "HALVEX_TEST_READ_FAULT")) {
    errno = EIO;
    return NULL;
  }
  return real(fd);
}

ssize_t getdents64(int fd, void* buffer, size_t length) {
  static ssize_t (*real)(int, void*, size_t);
  if (!real) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "getdents64");
  if (fdMatches(fd, "HALVEX_TEST_READ_FAULT")) {
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, length);
}

int fsync(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  if (fdMatches(fd, "HALVEX_TEST_KILL_AT_FSYNC")) raise(SIGKILL);
  return real(fd);
}

int close(int fd) {
  static int (*real)(int);
  if (!real) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  const int kill = fdMatches(fd, "HALVEX_TEST_KILL_AFTER_CLOSE");
  const int rc = real(fd);
  if (kill) raise(SIGKILL);
  return rc;
}
