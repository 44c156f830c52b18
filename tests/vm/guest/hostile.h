/* What the device fuzzer (uhid-fuzz.c) and the application under attack
 * (hostile-app.cpp) agree on: the side channel's file, the serial numbers of
 * the fuzzer's devices, and how an input report's bytes follow from the line
 * that announces it, so that the log names a report of any length in a few
 * words.
 *
 * The side channel is a text file, one event a line, written by the fuzzer
 * before the event reaches the kernel:
 *   C SERIAL NUMBERED N ID:BYTES...
 *                              a device made (NUMBERED 1: its descriptor
 *                              declares report IDs), and its N input
 *                              reports: ID and length in bytes without it
 *   I SERIAL LEN FIRST KEY K T an input report of LEN bytes: FIRST, then
 *                              HostileByte(KEY, 1), HostileByte(KEY, 2), ...;
 *                              K, its kind (enum HostileKind); T, when it was
 *                              announced (HostileNowUs)
 *   X SERIAL                   uhid refused the report announced last
 *   D SERIAL T                 the device destroyed, at T
 *   E                          the fuzzer's end
 */
#ifndef VYHID_TESTS_VM_GUEST_HOSTILE_H
#define VYHID_TESTS_VM_GUEST_HOSTILE_H

#include <stdint.h>
#include <time.h>

#define HOSTILE_LOG "/run/hostile.log"
#define HOSTILE_SERIAL_PREFIX "FZ"

/* What an input report pretends to be. */
enum HostileKind {
  kHostileDeclared = 'v',  /* a report ID the descriptor has, a length near 64 */
  kHostileUnknownId = 'u', /* a report ID the descriptor lacks */
  kHostileEmpty = 'z',     /* zero bytes */
  kHostileHuge = 'h',      /* 4096 bytes, uhid's most */
  kHostileFlood = 'f'      /* a declared report inside a burst of hundreds */
};

/* Byte I (I >= 1) of the report announced with KEY: a hash, so that a byte
 * cut, moved or taken from another report does not match by chance. */
static inline uint8_t HostileByte(uint32_t key, uint32_t i) {
  uint32_t x = key * 0x9e3779b1u + i * 0x85ebca6bu;
  x ^= x >> 15;
  x *= 0x2c1b3c6du;
  x ^= x >> 12;
  return (uint8_t)(x ^ (x >> 24));
}

/* Microseconds on the guest's monotonic clock: the one clock the fuzzer's
 * announcements and the application's receipts are compared on. */
static inline uint64_t HostileNowUs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

/* xorshift64*: the one random source of a seeded run. */
static inline uint64_t HostileNext(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 0x2545f4914f6cdd1dull;
}

#endif
