/* hidapi-list: what a peer library, hidapi (hidraw backend), enumerates.
 *
 * Prints one line per enumerated entry, "@@ HIDAPI DEV path=... vid=... pid=...
 * release=... usage_page=... usage=... manufacturer="..." product="..."
 * serial="..."", then "@@ HIDAPI END count=N". hidapi lists a device once per
 * top-level collection, so the host compares per path (hidraw node). Strings
 * are printed as UTF-8 with backslash, quote and control characters escaped.
 */
#include <hidapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* UTF-8 by hand: the guest has no locale files. */
static void put_utf8(unsigned long c) {
  if (c < 0x80) {
    putchar((int)c);
  } else if (c < 0x800) {
    putchar((int)(0xc0 | c >> 6));
    putchar((int)(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    putchar((int)(0xe0 | c >> 12));
    putchar((int)(0x80 | ((c >> 6) & 0x3f)));
    putchar((int)(0x80 | (c & 0x3f)));
  } else {
    putchar((int)(0xf0 | c >> 18));
    putchar((int)(0x80 | ((c >> 12) & 0x3f)));
    putchar((int)(0x80 | ((c >> 6) & 0x3f)));
    putchar((int)(0x80 | (c & 0x3f)));
  }
}

static void put_escaped(const char* label, const wchar_t* w) {
  printf(" %s=\"", label);
  for (; w && *w; w++) {
    unsigned long c = (unsigned long)*w;
    if (c == '"' || c == '\\')
      printf("\\%c", (int)c);
    else if (c < 0x20 || c == 0x7f)
      printf("\\x%02lx", c);
    else
      put_utf8(c > 0x10ffff ? 0xfffd : c);
  }
  printf("\"");
}

int main(void) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (hid_init() != 0) {
    printf("@@ HIDAPI ERROR hid_init: %ls\n", hid_error(NULL));
    return 1;
  }
  struct hid_device_info* all = hid_enumerate(0, 0);
  int count = 0;
  for (struct hid_device_info* e = all; e; e = e->next, count++) {
    printf("@@ HIDAPI DEV path=%s vid=%04X pid=%04X release=%04X usage_page=%04X usage=%04X",
           e->path, e->vendor_id, e->product_id, e->release_number, e->usage_page, e->usage);
    put_escaped("manufacturer", e->manufacturer_string);
    put_escaped("product", e->product_string);
    put_escaped("serial", e->serial_number);
    printf("\n");
  }
  printf("@@ HIDAPI END count=%d\n", count);
  hid_free_enumeration(all);
  hid_exit();
  return 0;
}
