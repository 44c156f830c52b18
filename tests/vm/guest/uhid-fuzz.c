/* uhid-fuzz: hostile and broken HID devices, made with the kernel's uhid, for
 * a bounded time and from one seed.
 *
 *   uhid-fuzz SEED SECONDS DESCRIPTOR_DIR
 *
 * It keeps up to kMaxDevices devices alive, each made from a report
 * descriptor of DESCRIPTOR_DIR (raw bytes, or hex text in a file ending in
 * .hex), often with some of its items' values changed. While a reader has a
 * device open it streams input reports at a rate of its own (none, slow,
 * fast, or floods of hundreds at once): reports the descriptor declares,
 * report IDs it lacks, zero-length reports and reports of 4096 bytes. It
 * answers the kernel's GET_REPORT and SET_REPORT requests at once, with an
 * error, late, or never, and destroys devices at random moments, often right
 * in the middle of such a request. Every report and every device is written
 * to the side channel (hostile.h) before the kernel sees it. At the end it
 * prints its figures as one "@@ FUZZ-RESULT" line.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "hostile.h"

enum {
  kMaxDevices = 3,
  kMaxDescriptors = 128,
  kMaxPending = 16,
  kFloodReports = 300,
  kUhidTimeoutMs = 5000 /* how long the kernel waits for an answer */
};

typedef struct {
  unsigned char bytes[HID_MAX_DESCRIPTOR_SIZE];
  size_t size;
} Descriptor;

typedef struct {
  uint32_t id;   /* the request's id, to answer it */
  int feature;   /* 1: GET_REPORT, 0: SET_REPORT */
  double due_ms; /* when to answer */
} Pending;

typedef struct {
  int fd; /* -1: a free slot */
  char serial[64];
  int numbered;
  unsigned char ids[256]; /* the report ID in force at each Input item */
  int id_count;
  unsigned char declared[256]; /* 1: an input report of this ID exists */
  uint64_t input_bits[256];    /* each input report's length in bits, as declared */
  int readers;                 /* UHID_OPEN minus UHID_CLOSE */
  double interval_ms;          /* between input reports; 0: none */
  double next_input_ms;
  Pending pending[kMaxPending];
  int pending_count;
} Device;

typedef struct {
  uint64_t rng;
  unsigned long seed;
  FILE* log;
  Descriptor descriptors[kMaxDescriptors];
  int descriptor_count;
  Device devices[kMaxDevices];
  unsigned long created, create_refused, streamed, stream_failed, outputs, requests, answered,
      answered_error, answered_late, ignored, destroyed, destroyed_mid_transfer;
} Fuzz;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static uint32_t below(Fuzz* f, uint32_t n) {
  return (uint32_t)(HostileNext(&f->rng) % n);
}

/* Milliseconds between input reports: none, slow, fast, as fast as the
 * loop goes (floods come on top, in stream()). */
static void pick_rate(Fuzz* f, Device* dev) {
  static const double kIntervals[] = {0, 200, 20, 2, 0.2};
  dev->interval_ms = kIntervals[below(f, sizeof kIntervals / sizeof kIntervals[0])];
}

static void die(const char* what, const char* object) {
  printf("@@ ERROR uhid-fuzz: %s(%s): %s\n", what, object, strerror(errno));
  exit(1);
}

/* The application reads the side channel as it grows: every line goes out
 * at once, and a line that cannot be written (a full file system) ends the
 * run, since the application would take the reports it announces for
 * reports no device sent. */
static void flush_log(Fuzz* f) {
  if (fflush(f->log) != 0 || ferror(f->log)) die("write", HOSTILE_LOG);
}

static void load_descriptor(Fuzz* f, const char* dir, const char* name) {
  if (f->descriptor_count == kMaxDescriptors || name[0] == '.') return;
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* in = fopen(path, "rb");
  if (!in) die("fopen", path);
  Descriptor* d = &f->descriptors[f->descriptor_count];
  size_t len = strlen(name);
  d->size = 0;
  if (len > 4 && strcmp(name + len - 4, ".hex") == 0) {
    unsigned v;
    while (d->size < sizeof d->bytes && fscanf(in, "%2x", &v) == 1)
      d->bytes[d->size++] = (unsigned char)v;
  } else {
    d->size = fread(d->bytes, 1, sizeof d->bytes, in);
  }
  const int more = fgetc(in) != EOF;
  fclose(in);
  /* A file the fuzzer cannot use is named, with the reason, not passed over. */
  if (d->size == 0)
    printf("@@ FUZZ-SKIPPED %s: no descriptor bytes in it\n", name);
  else if (more)
    printf("@@ FUZZ-SKIPPED %s: longer than uhid's %d bytes\n", name, HID_MAX_DESCRIPTOR_SIZE);
  else
    f->descriptor_count++;
}

/* An item's data, unsigned, little-endian. */
static uint32_t item_value(const unsigned char* data, size_t size) {
  uint32_t v = 0;
  for (size_t k = size; k > 0; k--) v = v << 8 | data[k - 1];
  return v;
}

/* Walks the short items as the kernel's HID parser does: the report ID in
 * force at each Input item, each input report's length (Report Size times
 * Report Count, summed over its Input items; Push and Pop carry them), and
 * whether the descriptor numbers its reports at all. */
static void read_ids(Device* dev, const Descriptor* d) {
  typedef struct {
    uint32_t id, size, count;
  } Globals;
  Globals g = {0, 0, 0}, stack[4];
  int depth = 0;
  dev->numbered = 0;
  dev->id_count = 0;
  memset(dev->declared, 0, sizeof dev->declared);
  memset(dev->input_bits, 0, sizeof dev->input_bits);
  for (size_t i = 0; i < d->size;) {
    unsigned char prefix = d->bytes[i];
    if (prefix == 0xfe) { /* a long item: its size is the next byte */
      i += 3 + (i + 1 < d->size ? d->bytes[i + 1] : 0);
      continue;
    }
    size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    unsigned char tag = prefix & 0xfc;
    if (i + 1 + size > d->size) break;
    const uint32_t value = item_value(d->bytes + i + 1, size);
    if (tag == 0xa4 && depth < 4) {
      stack[depth++] = g;
    } else if (tag == 0xb4 && depth > 0) {
      g = stack[--depth];
    } else if (tag == 0x84) {
      g.id = value & 0xff;
      dev->numbered = 1;
    } else if (tag == 0x74) {
      g.size = value;
    } else if (tag == 0x94) {
      g.count = value;
    } else if (tag == 0x80) {
      if (dev->id_count < 256) dev->ids[dev->id_count++] = (unsigned char)g.id;
      dev->declared[g.id] = 1;
      dev->input_bits[g.id] += (uint64_t)g.size * g.count;
    }
    i += 1 + size;
  }
}

static int send_event(Device* dev, const struct uhid_event* ev) {
  return write(dev->fd, ev, sizeof *ev) == (ssize_t)sizeof *ev ? 0 : -1;
}

static void create_device(Fuzz* f, Device* dev) {
  const Descriptor* src = &f->descriptors[below(f, (uint32_t)f->descriptor_count)];
  Descriptor d = *src;
  /* Lying descriptors: some items' values changed, the items kept. */
  if (below(f, 2) == 0) {
    for (uint32_t k = 1 + below(f, 4); k > 0; k--) {
      size_t at = 1 + below(f, (uint32_t)d.size);
      if (at < d.size && (d.bytes[at - 1] & 3) != 0)
        d.bytes[at] = (unsigned char)HostileNext(&f->rng);
    }
  }
  dev->fd = open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (dev->fd < 0) die("open", "/dev/uhid");
  read_ids(dev, &d);
  snprintf(dev->serial, sizeof dev->serial, "%s%lu-%lu", HOSTILE_SERIAL_PREFIX, f->seed,
           f->created + f->create_refused);
  dev->readers = 0;
  dev->pending_count = 0;
  pick_rate(f, dev);
  dev->next_input_ms = now_ms();
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  snprintf((char*)ev.u.create2.name, sizeof ev.u.create2.name, "VyHID hostile %s", dev->serial);
  snprintf((char*)ev.u.create2.uniq, sizeof ev.u.create2.uniq, "%s", dev->serial);
  ev.u.create2.rd_size = (__u16)d.size;
  ev.u.create2.bus = BUS_USB;
  ev.u.create2.vendor = 0x1209;
  ev.u.create2.product = 0xf022;
  memcpy(ev.u.create2.rd_data, d.bytes, d.size);
  /* Its input reports, ID and length in bytes: the kernel's HID core drops
   * an input report whose ID is not among them, or that is shorter. */
  int distinct = 0;
  for (int id = 0; id < 256; id++) distinct += dev->declared[id];
  fprintf(f->log, "C %s %d %d", dev->serial, dev->numbered, distinct);
  for (int id = 0; id < 256; id++)
    if (dev->declared[id])
      fprintf(f->log, " %d:%llu", id, (unsigned long long)(dev->input_bits[id] + 7) / 8);
  fprintf(f->log, "\n");
  flush_log(f);
  if (send_event(dev, &ev) != 0) {
    f->create_refused++;
    close(dev->fd);
    dev->fd = -1;
    return;
  }
  f->created++;
}

static void destroy_device(Fuzz* f, Device* dev) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_DESTROY;
  fprintf(f->log, "D %s %llu\n", dev->serial, (unsigned long long)HostileNowUs());
  flush_log(f);
  send_event(dev, &ev);
  if (dev->pending_count > 0) f->destroyed_mid_transfer++;
  f->destroyed++;
  close(dev->fd);
  dev->fd = -1;
}

static void stream_one(Fuzz* f, Device* dev, char kind) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_INPUT2;
  uint32_t len;
  unsigned first = dev->id_count > 0 ? dev->ids[below(f, (uint32_t)dev->id_count)] : 0;
  switch (kind) {
    case kHostileUnknownId:
      len = 1 + below(f, 130);
      first = below(f, 256);
      break;
    case kHostileEmpty:
      len = 0;
      break;
    case kHostileHuge:
      len = UHID_DATA_MAX;
      break;
    default:
      len = 1 + below(f, 130);
      break;
  }
  if (!dev->numbered && kind != kHostileUnknownId) first = HostileByte(0, len);
  uint32_t key = (uint32_t)HostileNext(&f->rng);
  fprintf(f->log, "I %s %u %u %u %c %llu\n", dev->serial, len, first, key, kind,
          (unsigned long long)HostileNowUs());
  flush_log(f);
  ev.u.input2.size = (__u16)len;
  if (len > 0) ev.u.input2.data[0] = (__u8)first;
  for (uint32_t i = 1; i < len; i++) ev.u.input2.data[i] = HostileByte(key, i);
  if (send_event(dev, &ev) == 0) {
    f->streamed++;
  } else {
    f->stream_failed++;
    fprintf(f->log, "X %s\n", dev->serial);
    flush_log(f);
  }
}

static void stream(Fuzz* f, Device* dev, double now) {
  if (dev->readers <= 0 || dev->interval_ms == 0 || now < dev->next_input_ms) return;
  dev->next_input_ms = now + dev->interval_ms;
  uint32_t roll = below(f, 100);
  if (roll < 2) {
    for (int i = 0; i < kFloodReports; i++) stream_one(f, dev, kHostileFlood);
  } else {
    stream_one(f, dev,
               roll < 8    ? kHostileUnknownId
               : roll < 12 ? kHostileEmpty
               : roll < 15 ? kHostileHuge
                           : kHostileDeclared);
  }
}

static void answer(Fuzz* f, Device* dev, const Pending* p, int error) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  if (p->feature) {
    ev.type = UHID_GET_REPORT_REPLY;
    ev.u.get_report_reply.id = p->id;
    ev.u.get_report_reply.err = (__u16)error;
    ev.u.get_report_reply.size = (__u16)(error ? 0 : below(f, 140));
    for (unsigned i = 0; i < ev.u.get_report_reply.size; i++)
      ev.u.get_report_reply.data[i] = (__u8)HostileNext(&f->rng);
  } else {
    ev.type = UHID_SET_REPORT_REPLY;
    ev.u.set_report_reply.id = p->id;
    ev.u.set_report_reply.err = (__u16)error;
  }
  if (send_event(dev, &ev) == 0) f->answered++;
}

/* A GET_REPORT or SET_REPORT request: answered now, with an error, late,
 * never, or the device destroyed while the caller waits. Returns 0 when the
 * device is gone. */
static int on_request(Fuzz* f, Device* dev, uint32_t id, int get) {
  f->requests++;
  Pending p = {id, get, now_ms()};
  switch (below(f, 10)) {
    case 0:
      f->ignored++;
      return 1;
    case 1:
      answer(f, dev, &p, EIO);
      f->answered_error++;
      return 1;
    case 2:
    case 3:
      if (dev->pending_count < kMaxPending) {
        p.due_ms += below(f, kUhidTimeoutMs + 1000);
        dev->pending[dev->pending_count++] = p;
        f->answered_late++;
        return 1;
      }
      break;
    case 4:
      if (below(f, 3) == 0) {
        dev->pending[dev->pending_count < kMaxPending ? dev->pending_count++ : 0] = p;
        destroy_device(f, dev);
        return 0;
      }
      break;
    default:
      break;
  }
  answer(f, dev, &p, 0);
  return 1;
}

static void pump(Fuzz* f, Device* dev) {
  struct uhid_event ev;
  for (;;) {
    ssize_t n = read(dev->fd, &ev, sizeof ev);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    switch (ev.type) {
      case UHID_OPEN:
        dev->readers++;
        break;
      case UHID_CLOSE:
        dev->readers--;
        break;
      case UHID_OUTPUT:
        f->outputs++;
        break;
      case UHID_GET_REPORT:
        if (!on_request(f, dev, ev.u.get_report.id, 1)) return;
        break;
      case UHID_SET_REPORT:
        if (!on_request(f, dev, ev.u.set_report.id, 0)) return;
        break;
      default:
        break;
    }
  }
}

static void answer_due(Fuzz* f, Device* dev, double now) {
  for (int i = 0; i < dev->pending_count;) {
    if (dev->pending[i].due_ms <= now) {
      answer(f, dev, &dev->pending[i], 0);
      dev->pending[i] = dev->pending[--dev->pending_count];
    } else {
      i++;
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: uhid-fuzz SEED SECONDS DESCRIPTOR_DIR\n");
    return 2;
  }
  Fuzz* f = calloc(1, sizeof *f);
  if (!f) die("calloc", "state");
  f->seed = strtoul(argv[1], NULL, 10);
  f->rng = f->seed * 2654435761u + 1;
  const double end = now_ms() + 1e3 * strtod(argv[2], NULL);
  DIR* dir = opendir(argv[3]);
  if (!dir) die("opendir", argv[3]);
  for (struct dirent* e; (e = readdir(dir)) != NULL;) load_descriptor(f, argv[3], e->d_name);
  closedir(dir);
  if (f->descriptor_count == 0) die("no descriptor in", argv[3]);
  f->log = fopen(HOSTILE_LOG, "w");
  if (!f->log) die("fopen", HOSTILE_LOG);
  for (int i = 0; i < kMaxDevices; i++) f->devices[i].fd = -1;

  for (double now = now_ms(); now < end; now = now_ms()) {
    struct pollfd fds[kMaxDevices];
    for (int i = 0; i < kMaxDevices; i++) {
      Device* dev = &f->devices[i];
      if (dev->fd < 0 && below(f, 200) == 0) create_device(f, dev);
      fds[i].fd = dev->fd;
      fds[i].events = POLLIN;
      fds[i].revents = 0;
    }
    if (poll(fds, kMaxDevices, 1) < 0 && errno != EINTR) die("poll", "/dev/uhid");
    now = now_ms();
    for (int i = 0; i < kMaxDevices; i++) {
      Device* dev = &f->devices[i];
      if (dev->fd < 0) continue;
      if (fds[i].revents & POLLIN) pump(f, dev);
      if (dev->fd < 0) continue;
      answer_due(f, dev, now);
      stream(f, dev, now);
      if (below(f, 3000) == 0) {
        destroy_device(f, dev);
      } else if (below(f, 500) == 0) {
        pick_rate(f, dev);
      }
    }
  }
  for (int i = 0; i < kMaxDevices; i++)
    if (f->devices[i].fd >= 0) destroy_device(f, &f->devices[i]);
  fprintf(f->log, "E\n");
  flush_log(f);
  if (fclose(f->log) != 0) die("fclose", HOSTILE_LOG);
  printf(
      "@@ FUZZ-RESULT seed=%lu descriptors=%d created=%lu refused=%lu streamed=%lu "
      "stream_failed=%lu outputs=%lu requests=%lu answered=%lu errors=%lu late=%lu ignored=%lu "
      "destroyed=%lu destroyed_mid_transfer=%lu\n",
      f->seed, f->descriptor_count, f->created, f->create_refused, f->streamed, f->stream_failed,
      f->outputs, f->requests, f->answered, f->answered_error, f->answered_late, f->ignored,
      f->destroyed, f->destroyed_mid_transfer);
  free(f);
  return 0;
}
