/* uhid-echo: a virtual HID device of our own, made with the kernel's uhid.
 *
 * It has what QEMU's emulated devices lack: a vendor usage page, numbered
 * reports, feature reports and an input report longer than 64 bytes.
 *   report 1  input   64 bytes  the echo of every output report 2
 *   report 2  output  64 bytes  echoed back at once as input report 1
 *   report 3  feature 64 bytes  stored by SET_REPORT, returned by GET_REPORT
 *   report 4  input  200 bytes  sent on command
 *
 * It is controlled through a FIFO (the path is the first argument), one
 * command a line:
 *   input200 SEED     send report 4 with bytes (SEED + i) & 0xff
 *   destroy           destroy the device (to the host this is an unplug)
 *   destroy-after N   destroy it once N more output reports have arrived
 *   create            create it again
 *   verbose 0|1       print every output report, or only count them
 *   stats             print the counters
 *   burst N [MS]      send N input reports, one every MS milliseconds (1 by
 *                     default, a full-speed USB device's shortest interval):
 *                     report 1 carrying
 *                     its sequence number (32 bits, little-endian) in its
 *                     first bytes, every fourth one report 4 instead, with
 *                     the number in the same place; the other bytes 0xee
 *   mute 0|1          1: answer no GET_REPORT or SET_REPORT request (a device
 *                     that has stopped answering); 0: answer again
 * Every line it prints starts with "@@ UHID " so that the host can pick it
 * out of the serial console.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { kEchoId = 1, kOutId = 2, kFeatureId = 3, kLongId = 4, kLongLen = 200, kLen = 64 };
/* the bytes of a burst's report after its sequence number */
enum { kBurstFill = 0xee };

static const unsigned char kDescriptor[] = {
    0x06, 0x00,       0xff,                                         /* Usage Page (Vendor 0xFF00) */
    0x09, 0x01,                                                     /* Usage (1) */
    0xa1, 0x01,                                                     /* Collection (Application) */
    0x15, 0x00,                                                     /*   Logical Minimum (0) */
    0x26, 0xff,       0x00,                                         /*   Logical Maximum (255) */
    0x75, 0x08,                                                     /*   Report Size (8) */
    0x85, kEchoId,    0x95, kLen,     0x09, 0x02, 0x81, 0x02,       /* input 1: 64 bytes */
    0x85, kOutId,     0x95, kLen,     0x09, 0x03, 0x91, 0x02,       /* output 2: 64 bytes */
    0x85, kFeatureId, 0x95, kLen,     0x09, 0x04, 0xb1, 0x02,       /* feature 3: 64 bytes */
    0x85, kLongId,    0x96, kLongLen, 0x00, 0x09, 0x05, 0x81, 0x02, /* input 4: 200 bytes */
    0xc0,                                                           /* End Collection */
};

static int ufd = -1;
static int created;
static int verbose = 1;
static int mute;
static unsigned long outputs;      /* output reports received since start */
static unsigned long late_outputs; /* output reports read after the device was destroyed */
static unsigned long destroy_at;   /* destroy when outputs reaches this; 0: never */
static unsigned char feature[kLen];
static unsigned char last_echo[kLen];

static void say(const char* fmt, ...) {
  char line[1024];
  int n = snprintf(line, sizeof line, "@@ UHID ");
  va_list ap;
  va_start(ap, fmt);
  n += vsnprintf(line + n, sizeof line - (size_t)n - 1, fmt, ap);
  va_end(ap);
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  /* one write per line keeps the line whole on the shared console */
  if (write(STDOUT_FILENO, line, (size_t)n) < 0) exit(1);
}

static void hex(char* dst, const unsigned char* p, size_t len) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < len; i++) {
    dst[2 * i] = digits[p[i] >> 4];
    dst[2 * i + 1] = digits[p[i] & 15];
  }
  dst[2 * len] = 0;
}

static int send_event(const struct uhid_event* ev) {
  if (write(ufd, ev, sizeof *ev) != (ssize_t)sizeof *ev) {
    say("ERROR write /dev/uhid: %s", strerror(errno));
    return -1;
  }
  return 0;
}

static void create_device(void) {
  if (created) {
    say("ERROR create: the device exists");
    return;
  }
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  snprintf((char*)ev.u.create2.name, sizeof ev.u.create2.name, "VyHID uhid echo");
  snprintf((char*)ev.u.create2.phys, sizeof ev.u.create2.phys, "uhid-echo/0");
  snprintf((char*)ev.u.create2.uniq, sizeof ev.u.create2.uniq, "ECHO-0001");
  ev.u.create2.rd_size = sizeof kDescriptor;
  /* Bluetooth: a HID device without a USB parent; its names come from the
   * HID device itself, as for any Bluetooth device. */
  ev.u.create2.bus = BUS_BLUETOOTH;
  ev.u.create2.vendor = 0x1209;
  ev.u.create2.product = 0xec40;
  ev.u.create2.version = 0x0102;
  memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
  if (send_event(&ev) == 0) {
    created = 1;
    say("CREATED");
  }
}

static void destroy_device(void) {
  if (!created) return;
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_DESTROY;
  if (send_event(&ev) == 0) {
    created = 0;
    destroy_at = 0;
    say("DESTROYED outputs=%lu", outputs);
  }
}

static void send_input(const unsigned char* data, size_t len) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_INPUT2;
  ev.u.input2.size = (__u16)len;
  memcpy(ev.u.input2.data, data, len);
  send_event(&ev);
}

static void on_output(const struct uhid_output_req* out) {
  char text[2 * UHID_DATA_MAX + 1];
  if (out->rtype != UHID_OUTPUT_REPORT || out->size != 1 + kLen || out->data[0] != kOutId) {
    hex(text, out->data, out->size);
    say("ERROR unexpected output rtype=%u size=%u %s", out->rtype, out->size, text);
    return;
  }
  if (!created) {
    /* reports the kernel queued before the device was destroyed */
    late_outputs++;
    return;
  }
  outputs++;
  memcpy(last_echo, out->data + 1, kLen);
  if (verbose) {
    hex(text, out->data + 1, kLen);
    say("OUTPUT id=%d n=%d %s", kOutId, kLen, text);
  }
  unsigned char echo[1 + kLen];
  echo[0] = kEchoId;
  memcpy(echo + 1, last_echo, kLen);
  send_input(echo, sizeof echo);
  if (destroy_at && outputs >= destroy_at) destroy_device();
}

static void on_get_report(const struct uhid_get_report_req* req) {
  if (mute) {
    say("GET_REPORT rtype=%u id=%u unanswered", req->rtype, req->rnum);
    return;
  }
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_GET_REPORT_REPLY;
  ev.u.get_report_reply.id = req->id;
  const unsigned char* src = NULL;
  if (req->rtype == UHID_FEATURE_REPORT && req->rnum == kFeatureId)
    src = feature;
  else if (req->rtype == UHID_INPUT_REPORT && req->rnum == kEchoId)
    src = last_echo;
  if (src) {
    ev.u.get_report_reply.size = 1 + kLen;
    ev.u.get_report_reply.data[0] = req->rnum;
    memcpy(ev.u.get_report_reply.data + 1, src, kLen);
  } else {
    ev.u.get_report_reply.err = EIO;
  }
  say("GET_REPORT rtype=%u id=%u err=%u", req->rtype, req->rnum, ev.u.get_report_reply.err);
  send_event(&ev);
}

static void on_set_report(const struct uhid_set_report_req* req) {
  if (mute) {
    say("SET_REPORT rtype=%u id=%u unanswered", req->rtype, req->rnum);
    return;
  }
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_SET_REPORT_REPLY;
  ev.u.set_report_reply.id = req->id;
  char text[2 * UHID_DATA_MAX + 1];
  hex(text, req->data, req->size);
  if (req->rtype == UHID_FEATURE_REPORT && req->rnum == kFeatureId && req->size == 1 + kLen &&
      req->data[0] == kFeatureId) {
    memcpy(feature, req->data + 1, kLen);
  } else {
    ev.u.set_report_reply.err = EIO;
  }
  say("SET_REPORT rtype=%u id=%u size=%u err=%u %s", req->rtype, req->rnum, req->size,
      ev.u.set_report_reply.err, text);
  send_event(&ev);
}

static void on_uhid_event(void) {
  struct uhid_event ev;
  ssize_t n = read(ufd, &ev, sizeof ev);
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR) say("ERROR read /dev/uhid: %s", strerror(errno));
    return;
  }
  switch (ev.type) {
    case UHID_START:
      say("START");
      break;
    case UHID_STOP:
      say("STOP");
      break;
    case UHID_OPEN:
      say("OPEN");
      break;
    case UHID_CLOSE:
      say("CLOSE");
      break;
    case UHID_OUTPUT:
      on_output(&ev.u.output);
      break;
    case UHID_GET_REPORT:
      on_get_report(&ev.u.get_report);
      break;
    case UHID_SET_REPORT:
      on_set_report(&ev.u.set_report);
      break;
    default:
      say("EVENT %u", ev.type);
      break;
  }
}

static void send_burst(unsigned long count, unsigned long interval_ms) {
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (unsigned long seq = 0; seq < count && created; seq++) {
    unsigned char rep[1 + kLongLen];
    const int id = seq % 4 == 3 ? kLongId : kEchoId;
    const size_t len = id == kLongId ? kLongLen : kLen;
    memset(rep, kBurstFill, sizeof rep);
    rep[0] = (unsigned char)id;
    for (int b = 0; b < 4; b++) rep[1 + b] = (unsigned char)(seq >> (8 * b));
    send_input(rep, 1 + len);
    next.tv_nsec += (long)interval_ms * 1000000;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      next.tv_sec++;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
  }
  say("BURST-SENT count=%lu", count);
}

static void on_command(char* line) {
  char cmd[32];
  unsigned long arg = 0, arg2 = 1;
  int fields = sscanf(line, "%31s %lu %lu", cmd, &arg, &arg2);
  if (fields < 1) return;
  if (!strcmp(cmd, "input200")) {
    if (!created) {
      say("ERROR input200: no device");
      return;
    }
    unsigned char rep[1 + kLongLen];
    rep[0] = kLongId;
    for (int i = 0; i < kLongLen; i++) rep[1 + i] = (unsigned char)(arg + (unsigned long)i);
    send_input(rep, sizeof rep);
    say("SENT-INPUT id=%d n=%d seed=%lu", kLongId, kLongLen, arg);
  } else if (!strcmp(cmd, "destroy")) {
    destroy_device();
  } else if (!strcmp(cmd, "destroy-after") && fields == 2 && arg > 0) {
    destroy_at = outputs + arg;
    say("ARMED destroy after %lu outputs", arg);
  } else if (!strcmp(cmd, "create")) {
    create_device();
  } else if (!strcmp(cmd, "verbose") && fields == 2) {
    verbose = arg != 0;
    say("VERBOSE %d", verbose);
  } else if (!strcmp(cmd, "burst") && fields >= 2 && arg2 >= 1 && arg2 <= 1000) {
    send_burst(arg, arg2);
  } else if (!strcmp(cmd, "mute") && fields == 2) {
    mute = arg != 0;
    say("MUTE %d", mute);
  } else if (!strcmp(cmd, "stats")) {
    say("STATS outputs=%lu late_outputs=%lu created=%d", outputs, late_outputs, created);
  } else {
    say("ERROR unknown command '%s'", line);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: uhid-echo CONTROL-FIFO\n");
    return 2;
  }
  ufd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (ufd < 0) {
    say("ERROR open /dev/uhid: %s", strerror(errno));
    return 1;
  }
  if (mkfifo(argv[1], 0600) < 0 && errno != EEXIST) {
    say("ERROR mkfifo %s: %s", argv[1], strerror(errno));
    return 1;
  }
  /* read-write, so that the FIFO never reports end of file between writers */
  int cfd = open(argv[1], O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (cfd < 0) {
    say("ERROR open %s: %s", argv[1], strerror(errno));
    return 1;
  }
  for (int i = 0; i < kLen; i++) feature[i] = (unsigned char)(0xf0 - i);
  create_device();

  char buf[4096];
  size_t used = 0;
  for (;;) {
    struct pollfd p[2] = {{ufd, POLLIN, 0}, {cfd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      say("ERROR poll: %s", strerror(errno));
      return 1;
    }
    if (p[1].revents & POLLIN) {
      ssize_t n = read(cfd, buf + used, sizeof buf - 1 - used);
      if (n > 0) {
        used += (size_t)n;
        char* nl;
        while ((nl = memchr(buf, '\n', used))) {
          *nl = 0;
          on_command(buf);
          used -= (size_t)(nl + 1 - buf);
          memmove(buf, nl + 1, used);
        }
        if (used == sizeof buf - 1) used = 0; /* an over-long line is dropped */
      }
    }
    /* After the commands: a command written before a request was made
     * (mute 1, then GET_REPORT) is in force when the request is read. */
    if (p[0].revents & POLLIN) on_uhid_event();
  }
}
